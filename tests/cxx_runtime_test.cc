// What the C++ runtime asks of the C library, working in every build: the
// builds for client machines answer what glibc 2.17 lacks from
// src/platform/glibc_compat.c (steady-clock waits, the random sources), the
// others from the C library itself.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace vdqrn {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(CxxRuntime, SteadyWaitEndsAtItsDeadlineNotBefore) {
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_lock<std::mutex> lock(mutex);
  const Clock::time_point start = Clock::now();
  // Longer than one of the compat file's slices, so that a slice ending is
  // not taken for the deadline.
  EXPECT_FALSE(changed.wait_for(lock, milliseconds(130), [] { return false; }));
  EXPECT_GE(Clock::now() - start, milliseconds(130));
}

TEST(CxxRuntime, SteadyWaitWakesWhenNotified) {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::thread notifier([&] {
    std::this_thread::sleep_for(milliseconds(20));
    std::lock_guard<std::mutex> guard(mutex);
    done = true;
    changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  // The deadline is far; the notification ends the wait.
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::minutes(2), [&] { return done; }));
  lock.unlock();
  notifier.join();
}

// Each random source the runtime offers on Linux gives varying values.
TEST(CxxRuntime, RandomSourcesGiveVaryingValues) {
#if defined(__linux__)
  for (const char* token : {"default", "getentropy", "arc4random"}) {
    std::random_device random(token);
    std::set<unsigned> seen;
    for (int draw = 0; draw < 8; ++draw) seen.insert(random());
    EXPECT_GT(seen.size(), 1u) << token;
  }
#else
  std::random_device random;
  std::set<unsigned> seen;
  for (int draw = 0; draw < 8; ++draw) seen.insert(random());
  EXPECT_GT(seen.size(), 1u);
#endif
}

}  // namespace

}  // namespace vdqrn
