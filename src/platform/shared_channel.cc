// The channel between the module and its instrument host: a ring of bytes
// each way in a page both processes map. A side that waits first watches the
// ring for a short while (a reply usually comes within microseconds, and
// waking a sleeping process costs far more than that), then announces that it
// sleeps and waits on the socket or pipe, where the other side rings it after
// its next write, or where the system tells that the other side is gone.
//
// The other process may be faulty: its counters are read, checked and never
// trusted, and this side keeps its own counters in its own memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/shared_channel.h"

namespace vdqrn {

namespace platform {

namespace {

constexpr std::uint32_t kRingBytes = 16384;  // a power of two
static_assert((kRingBytes & (kRingBytes - 1)) == 0, "ring positions wrap with the counters");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the counters are shared between processes");

// Each counter on a cache line of its own, so that one side's writes do not
// slow the other side's reads of its own counter.
struct alignas(64) Counter {
  std::atomic<std::uint32_t> value;
};

struct Ring {
  Counter written;  // bytes written so far, by the writing side
  Counter taken;    // bytes taken so far, by the reading side
  std::uint8_t bytes[kRingBytes];
};

struct Page {
  Counter asleep[2];  // [side]: 1 while that side waits on its socket or pipe
  Ring rings[2];      // [side]: the ring that side writes
};
static_assert(sizeof(Page) == 2 * 64 + 2 * (2 * 64 + kRingBytes),
              "the same layout in 32- and 64-bit processes");

int Side(const ChannelEnd& end) { return end.isModule ? 0 : 1; }
Page& PageOf(ChannelEnd& end) { return *static_cast<Page*>(end.page); }

// How long a side watches the ring before it sleeps: the module its reply's
// usual time, the host a burst of commands. On a single processor watching
// would only keep the other side from running.
std::chrono::microseconds WatchTime(const ChannelEnd& end) {
  static const bool single = std::thread::hardware_concurrency() == 1;
  if (single) return std::chrono::microseconds(0);
  return std::chrono::microseconds(end.isModule ? 200 : 1000);
}

void Relax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Waits until `ready()` holds, the other side is gone or the time is up.
// The sleeper announces its sleep, then looks once more; the writer publishes
// its bytes, then looks for the announcement (a full fence on both sides), so
// one of them always sees the other: no wake is lost. A wake that comes
// after all costs one more look at the ring.
template <typename Ready>
ChannelOutcome Wait(ChannelEnd& end, Ready ready, long timeoutMs) {
  using Clock = std::chrono::steady_clock;
  if (ready()) return ChannelOutcome::kDone;
  const Clock::time_point start = Clock::now();
  const Clock::time_point watchUntil = start + WatchTime(end);
  while (Clock::now() < watchUntil) {
    for (int look = 0; look < 64; ++look) {
      if (ready()) return ChannelOutcome::kDone;
      Relax();
    }
  }
  std::atomic<std::uint32_t>& asleep = PageOf(end).asleep[Side(end)].value;
  for (;;) {
    asleep.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ready()) {
      asleep.store(0, std::memory_order_relaxed);
      return ChannelOutcome::kDone;
    }
    long left = -1;
    if (timeoutMs >= 0) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      left = timeoutMs - static_cast<long>(spent);
      if (left <= 0) {
        asleep.store(0, std::memory_order_relaxed);
        return ChannelOutcome::kTimedOut;
      }
    }
    // Time that is up is up, whatever came meanwhile: a wake lost would show
    // as a wait that timed out, not as a slow one.
    const ChannelOutcome woken = detail::AwaitWake(end, left);
    asleep.store(0, std::memory_order_relaxed);
    if (woken == ChannelOutcome::kTimedOut) return woken;
    if (ready()) return ChannelOutcome::kDone;
    if (woken != ChannelOutcome::kDone) return woken;
  }
}

// Rings the other side when it announced that it sleeps.
void WakeOther(ChannelEnd& end) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::atomic<std::uint32_t>& asleep = PageOf(end).asleep[1 - Side(end)].value;
  if (asleep.load(std::memory_order_relaxed) != 0 &&
      asleep.exchange(0, std::memory_order_seq_cst) != 0) {
    detail::RingWake(end);  // a side that is gone shows at the next wait
  }
}

}  // namespace

namespace detail {
const std::size_t kChannelPageBytes = sizeof(Page);
}  // namespace detail

ChannelOutcome WriteToChannel(ChannelEnd& end, const void* bytes, std::size_t count,
                              long timeoutMs) {
  Ring& out = PageOf(end).rings[Side(end)];
  const std::uint8_t* next = static_cast<const std::uint8_t*>(bytes);
  while (count > 0) {
    std::uint32_t used = 0;
    const auto roomy = [&] {
      used = end.sent - out.taken.value.load(std::memory_order_acquire);
      return used != kRingBytes;
    };
    const ChannelOutcome waited = Wait(end, roomy, timeoutMs);
    if (waited != ChannelOutcome::kDone) return waited;
    if (used > kRingBytes) return ChannelOutcome::kCorrupt;
    const std::size_t part = std::min<std::size_t>(count, kRingBytes - used);
    const std::uint32_t at = end.sent % kRingBytes;
    const std::size_t first = std::min<std::size_t>(part, kRingBytes - at);
    std::memcpy(out.bytes + at, next, first);
    std::memcpy(out.bytes, next + first, part - first);
    end.sent += static_cast<std::uint32_t>(part);
    out.written.value.store(end.sent, std::memory_order_release);
    WakeOther(end);
    next += part;
    count -= part;
  }
  return ChannelOutcome::kDone;
}

ChannelOutcome ReadFromChannel(ChannelEnd& end, void* bytes, std::size_t capacity,
                               std::size_t* got, long timeoutMs) {
  Ring& in = PageOf(end).rings[1 - Side(end)];
  std::uint32_t waiting = 0;
  const auto arrived = [&] {
    waiting = in.written.value.load(std::memory_order_acquire) - end.taken;
    return waiting != 0;
  };
  const ChannelOutcome waited = Wait(end, arrived, timeoutMs);
  if (waited != ChannelOutcome::kDone) return waited;
  if (waiting > kRingBytes) return ChannelOutcome::kCorrupt;
  const std::size_t part = std::min<std::size_t>(capacity, waiting);
  const std::uint32_t at = end.taken % kRingBytes;
  const std::size_t first = std::min<std::size_t>(part, kRingBytes - at);
  std::uint8_t* into = static_cast<std::uint8_t*>(bytes);
  std::memcpy(into, in.bytes + at, first);
  std::memcpy(into + first, in.bytes, part - first);
  end.taken += static_cast<std::uint32_t>(part);
  in.taken.value.store(end.taken, std::memory_order_release);
  // Only a writer that found the ring full waits for room.
  if (waiting == kRingBytes) WakeOther(end);
  *got = part;
  return ChannelOutcome::kDone;
}

}  // namespace platform

}  // namespace vdqrn
