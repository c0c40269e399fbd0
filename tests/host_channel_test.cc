// The channel between the module and its instrument host, both ends in this
// process: bytes in order across the rings' ends, no wake lost when a side
// sleeps, the other side's end or silence noticed, counters that make no
// sense refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vdqrn {

namespace {

using platform::ChannelEnd;
using platform::ChannelOutcome;

// Long enough never to run out on a loaded machine; a lost wake runs into it.
constexpr long kPatienceMs = 20 * 1000;

class HostChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::OpenChannelPair(&module_, &host_)); }
  void TearDown() override {
    platform::CloseChannel(module_);
    platform::CloseChannel(host_);
  }

  // Reads exactly `count` bytes from an end.
  static ChannelOutcome ReadAll(ChannelEnd& end, std::vector<std::uint8_t>* bytes,
                                std::size_t count, long timeoutMs) {
    bytes->assign(count, 0);
    std::size_t have = 0;
    while (have < count) {
      std::size_t got = 0;
      const ChannelOutcome outcome =
          platform::ReadFromChannel(end, bytes->data() + have, count - have, &got, timeoutMs);
      if (outcome != ChannelOutcome::kDone) return outcome;
      have += got;
    }
    return ChannelOutcome::kDone;
  }

  ChannelEnd module_;
  ChannelEnd host_;
};

std::vector<std::uint8_t> Pattern(std::size_t count, unsigned seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t index = 0; index < count; ++index) {
    bytes[index] = static_cast<std::uint8_t>((index * 131 + seed) % 251);
  }
  return bytes;
}

// More than a ring holds, with a reader that starts late: the writer fills the
// ring, goes to sleep waiting for room and must be woken by the reads.
TEST_F(HostChannelTest, BytesArriveInOrderBothWaysAcrossTheRingsEnd) {
  const std::vector<std::uint8_t> request = Pattern(100000, 7);
  const std::vector<std::uint8_t> reply = Pattern(70001, 3);
  std::vector<std::uint8_t> received;
  ChannelOutcome hostRead = ChannelOutcome::kClosed;
  ChannelOutcome hostWrite = ChannelOutcome::kClosed;
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    hostRead = ReadAll(host_, &received, request.size(), -1);
    hostWrite = platform::WriteToChannel(host_, reply.data(), reply.size(), -1);
  });
  const ChannelOutcome written =
      platform::WriteToChannel(module_, request.data(), request.size(), kPatienceMs);
  std::vector<std::uint8_t> answered;
  const ChannelOutcome read = written == ChannelOutcome::kDone
                                  ? ReadAll(module_, &answered, reply.size(), kPatienceMs)
                                  : written;
  if (read != ChannelOutcome::kDone) platform::CloseChannel(module_);  // ends the host's reads
  host.join();
  EXPECT_EQ(written, ChannelOutcome::kDone);
  EXPECT_EQ(read, ChannelOutcome::kDone);
  EXPECT_EQ(hostRead, ChannelOutcome::kDone);
  EXPECT_EQ(hostWrite, ChannelOutcome::kDone);
  EXPECT_TRUE(received == request);
  EXPECT_TRUE(answered == reply);
}

// Round trips with pauses from none to well past both sides' watching time, so
// that a write meets the other side watching, falling asleep and asleep.
TEST_F(HostChannelTest, NoWakeIsLostWhicheverMomentTheOtherSideWrites) {
  constexpr int kRounds = 150;
  std::thread host([&] {
    for (int round = 0; round < kRounds; ++round) {
      std::uint8_t byte = 0;
      std::size_t got = 0;
      if (platform::ReadFromChannel(host_, &byte, 1, &got, -1) != ChannelOutcome::kDone) return;
      std::this_thread::sleep_for(std::chrono::microseconds((round * 37) % 1500));
      const std::uint8_t answer = static_cast<std::uint8_t>(byte + 1);
      if (platform::WriteToChannel(host_, &answer, 1, -1) != ChannelOutcome::kDone) return;
    }
  });
  int answered = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::this_thread::sleep_for(std::chrono::microseconds((round * 53) % 2500));
    const std::uint8_t byte = static_cast<std::uint8_t>(round);
    std::uint8_t answer = 0;
    std::size_t got = 0;
    const bool asked =
        platform::WriteToChannel(module_, &byte, 1, kPatienceMs) == ChannelOutcome::kDone;
    if (!asked || platform::ReadFromChannel(module_, &answer, 1, &got, kPatienceMs) !=
                      ChannelOutcome::kDone) {
      ADD_FAILURE() << "round " << round << " got no answer";
      break;
    }
    EXPECT_EQ(answer, static_cast<std::uint8_t>(round + 1));
    ++answered;
  }
  if (answered < kRounds) platform::CloseChannel(module_);  // lets the host's thread end
  host.join();
}

// A reader that counts what has arrived, then takes part of it, while the
// writer fills the ring and falls asleep for room in between: the reader's
// take must wake it, whatever the ring held when the reader counted.
std::atomic<bool> g_readerCounted{false};
std::atomic<int> g_pauses{0};
void PauseAfterTheFirstCount() {
  if (g_pauses++ != 0) return;
  g_readerCounted = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the writer fills the ring
}

TEST_F(HostChannelTest, AReadOfPartOfTheRingWakesAWriterThatFilledItMeanwhile) {
  constexpr long kLimitMs = 3000;  // a lost wake runs into it
  const std::vector<std::uint8_t> first = Pattern(500, 1);
  const std::vector<std::uint8_t> second = Pattern(17000, 2);
  g_readerCounted = false;
  g_pauses = 0;
  platform::SetChannelReadPauseForTesting(PauseAfterTheFirstCount);
  ChannelOutcome wrote = ChannelOutcome::kClosed;
  std::thread writer([&] {
    wrote = platform::WriteToChannel(host_, first.data(), first.size(), kLimitMs);
    while (!g_readerCounted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (wrote == ChannelOutcome::kDone) {
      wrote = platform::WriteToChannel(host_, second.data(), second.size(), kLimitMs);
    }
  });
  std::vector<std::uint8_t> received;
  ChannelOutcome read = ChannelOutcome::kDone;
  while (read == ChannelOutcome::kDone && received.size() < first.size() + second.size()) {
    std::uint8_t chunk[1000];
    std::size_t got = 0;
    read = platform::ReadFromChannel(module_, chunk, sizeof chunk, &got, kLimitMs);
    if (read == ChannelOutcome::kDone) received.insert(received.end(), chunk, chunk + got);
  }
  writer.join();
  platform::SetChannelReadPauseForTesting(nullptr);
  EXPECT_EQ(wrote, ChannelOutcome::kDone);
  EXPECT_EQ(read, ChannelOutcome::kDone);
  std::vector<std::uint8_t> sent = first;
  sent.insert(sent.end(), second.begin(), second.end());
  EXPECT_TRUE(received == sent);
}

TEST_F(HostChannelTest, SilenceEndsInATimeoutAndAnEndedSideInClosed) {
  std::uint8_t byte = 0;
  std::size_t got = 0;
  EXPECT_EQ(platform::ReadFromChannel(module_, &byte, 1, &got, 50), ChannelOutcome::kTimedOut);
  platform::CloseChannel(host_);
  EXPECT_EQ(platform::ReadFromChannel(module_, &byte, 1, &got, kPatienceMs),
            ChannelOutcome::kClosed);
}

// A side's own counters live in its own memory; the other side's, read from
// the page, are checked against them. Here the other side's counter is far
// from ours (ours moved, to the same effect): more bytes waiting than a ring
// holds, or more bytes unread than were ever sent.
TEST_F(HostChannelTest, CountersThatMakeNoSenseAreRefused) {
  const std::uint8_t byte = 1;
  std::uint8_t into[16];
  std::size_t got = 0;
  module_.taken = 50000;
  ASSERT_EQ(platform::WriteToChannel(host_, &byte, 1, -1), ChannelOutcome::kDone);
  EXPECT_EQ(platform::ReadFromChannel(module_, into, sizeof into, &got, kPatienceMs),
            ChannelOutcome::kCorrupt);
  host_.taken = 0x80000000u;
  ASSERT_EQ(platform::WriteToChannel(module_, &byte, 1, kPatienceMs), ChannelOutcome::kDone);
  EXPECT_EQ(platform::ReadFromChannel(host_, into, sizeof into, &got, -1),
            ChannelOutcome::kCorrupt);
  module_.sent = 0x80000000u;
  EXPECT_EQ(platform::WriteToChannel(module_, &byte, 1, kPatienceMs), ChannelOutcome::kCorrupt);
}

// When a side may watch the ring after it lost its processor: a step of a
// side's life (losses at given times, watches kept) and the pause it leaves.
struct PauseStep {
  long long lostAtMs;  // when the processor was lost
  int kept;            // watches kept before the loss
  long long untilMs;   // where the pause ends after this step
};
struct PauseCase {
  const char* name;
  std::vector<PauseStep> steps;
};

class WatchPausesTest : public ::testing::TestWithParam<PauseCase> {};

TEST_P(WatchPausesTest, EachPauseEndsWhereItShould) {
  constexpr long long kMs = 1000 * 1000;
  platform::WatchPauses pauses;
  EXPECT_TRUE(pauses.MayWatch(0));
  for (std::size_t index = 0; index < GetParam().steps.size(); ++index) {
    const PauseStep& step = GetParam().steps[index];
    for (int kept = 0; kept < step.kept; ++kept) pauses.Kept();
    if (step.lostAtMs >= 0) pauses.Lost(step.lostAtMs * kMs);
    SCOPED_TRACE("step " + std::to_string(index));
    EXPECT_EQ(pauses.Until(), step.untilMs * kMs);
    EXPECT_FALSE(pauses.MayWatch(step.untilMs * kMs - 1));
    EXPECT_TRUE(pauses.MayWatch(step.untilMs * kMs));
  }
}

constexpr int kForget = platform::WatchPauses::kWatchesToForget;

INSTANTIATE_TEST_SUITE_P(
    Losses, WatchPausesTest,
    ::testing::Values(
        // A passing thread on a small machine costs a millisecond of sleeping
        // at once, not a tenth of a second.
        PauseCase{"OneLossPausesBriefly", {{5, 0, 6}}},
        // A machine that stays busy takes the processor again as each pause
        // ends: the pauses double up to a tenth of a second, and stay there.
        PauseCase{"RepeatedLossesDoubleUpToATenthOfASecond",
                  {{0, 0, 1}, {1, 0, 3}, {3, 0, 7}, {7, 0, 15}, {15, 0, 31}, {31, 0, 63},
                   {63, 0, 127}, {127, 0, 227}, {227, 0, 327}, {327, 0, 427}}},
        // Watches kept between losses (fewer than forget them) do not make
        // the next pause brief again.
        PauseCase{"AFewWatchesKeptDoNotForget",
                  {{0, 0, 1}, {1, kForget - 1, 3}, {3, kForget - 1, 7}}},
        // Watching paid off long enough: the next loss is a passing one.
        PauseCase{"WatchesKeptForgetEarlierLosses",
                  {{0, 0, 1}, {1, 0, 3}, {3, 0, 7}, {50, kForget, 51}, {51, 0, 53}}},
        // A loss while paused (the busy machine seen again) never shortens
        // the pause; a pause's end only moves later.
        PauseCase{"ALossWithinAPauseNeverShortensIt",
                  {{0, 0, 1}, {1, 0, 3}, {3, 0, 7}, {7, 0, 15}, {8, 0, 24}, {8, kForget, 24}}}),
    [](const ::testing::TestParamInfo<PauseCase>& param) { return param.param.name; });

}  // namespace

}  // namespace vdqrn
