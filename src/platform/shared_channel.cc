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

// What a side that waits on its socket or pipe waits for.
constexpr std::uint32_t kAwake = 0;
constexpr std::uint32_t kSleepsForBytes = 1;
constexpr std::uint32_t kSleepsForRoom = 2;

// Set by the module when it makes the page; the host reads it there.
constexpr std::uint32_t kNeverWatch = 1;

struct Page {
  Counter asleep[2];  // [side]: what that side waits for on its socket or pipe
  Counter options;    // kNeverWatch
  Ring rings[2];      // [side]: the ring that side writes
};
static_assert(sizeof(Page) == 3 * 64 + 2 * (2 * 64 + kRingBytes),
              "the same layout in 32- and 64-bit processes");

bool g_watching = true;

using Clock = std::chrono::steady_clock;

// A gap this long between two looks at the ring means that the processor
// was taken from us while we watched.
constexpr std::chrono::microseconds kPreempted(50);
// How often a side asks whether every processor is taken (a file read).
constexpr std::chrono::milliseconds kBusyLookEvery(100);
// A side that wakes and finds nothing several times in a row is being rung
// for nothing (a faulty other side): it then pauses before it listens again,
// a little longer each time up to this, so that a flood of wakes costs it
// next to nothing. (One wake that finds nothing is normal: a wake that raced
// with a look at the ring.)
constexpr std::chrono::milliseconds kLongestDeafPause(64);

long long Nanoseconds(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}
void (*g_readPause)() = nullptr;

int Side(const ChannelEnd& end) { return end.isModule ? 0 : 1; }
Page& PageOf(ChannelEnd& end) { return *static_cast<Page*>(end.page); }

// How long a side watches the ring before it sleeps: the module its reply's
// usual time, the host a burst of commands.
std::chrono::microseconds FullWatch(const ChannelEnd& end) {
  return std::chrono::microseconds(end.isModule ? 200 : 1000);
}

// How long a side may watch from `at`: not at all on a single processor
// (watching would only keep the other side from running), nor during a pause.
std::chrono::microseconds WatchTime(ChannelEnd& end, Clock::time_point at) {
  static const bool single = UsableProcessors() <= 1;
  if (single) return std::chrono::microseconds(0);
  const long long now = Nanoseconds(at);
  if (!end.pauses.MayWatch(now)) return std::chrono::microseconds(0);
  // A machine whose every processor is taken gives a watching side's
  // processor to another thread before what it watches for comes. While it
  // stays so, it is asked again as each pause ends, and the pauses grow.
  if (now - end.busyLookedAt >= std::chrono::nanoseconds(kBusyLookEvery).count()) {
    end.busyLookedAt = now;
    if (detail::ProcessorsBusy()) {
      end.pauses.Lost(now);
      end.busyLookedAt = 0;  // asked again when the pause is over
      return std::chrono::microseconds(0);
    }
  }
  return FullWatch(end);
}

// Whether a read watches before it sleeps. Watching pays only in a burst of
// commands: the module watches for its reply when the host was awake for the
// request (a host that had to be woken takes longer than watching is worth);
// the host watches for the next request when the last one came within its
// watch time. At a human pace both sides sleep at once.
bool WatchesForBytes(ChannelEnd& end) {
  if ((PageOf(end).options.value.load(std::memory_order_relaxed) & kNeverWatch) != 0) {
    return false;
  }
  return end.isModule ? !end.rang : end.quick;
}

void Relax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Waits until `ready()` holds, the other side is gone or the time is up,
// watching the ring first, when `watches`, for as long as WatchTime allows
// (asked only when there is something to wait for: it may read a file). The
// sleeper announces its sleep (and what it waits for), then looks once more;
// the other side publishes what it did, then looks for the announcement (a
// full fence on both sides), so one of them always sees the other: no wake
// is lost. A wake that comes after all costs one more look at the ring. `took`, when given, tells how
// long it was until `ready()` held.
template <typename Ready>
ChannelOutcome Wait(ChannelEnd& end, Ready ready, long timeoutMs, std::uint32_t waitsFor,
                    bool watches, Clock::duration* took = nullptr) {
  if (took != nullptr) *took = Clock::duration::zero();
  if (ready()) return ChannelOutcome::kDone;
  const Clock::time_point start = Clock::now();
  const std::chrono::microseconds watch =
      watches ? WatchTime(end, start) : std::chrono::microseconds(0);
  const Clock::time_point watchUntil = start + watch;
  // A gap since the last look at the clock means the processor was taken
  // from us; seen also when what we watched for came meanwhile (the usual
  // case: it came while we could not look). Only a gap in which the system
  // gave our processor to another thread counts: a virtual machine's own
  // pauses (its host running something else) leave gaps as long, often,
  // and say nothing about this machine's threads.
  const auto preempted = [&](Clock::time_point last) {
    const Clock::time_point now = Clock::now();
    if (took != nullptr) *took = now - start;
    if (now - last <= kPreempted) return false;
    const long long switches = detail::InvoluntarySwitches();
    const bool taken = switches < 0 || end.switchesSeen < 0 || switches != end.switchesSeen;
    end.switchesSeen = switches;
    if (!taken) return false;
    end.pauses.Lost(Nanoseconds(now));
    return true;
  };
  for (Clock::time_point last = start; last < watchUntil; last = Clock::now()) {
    for (int look = 0; look < 64; ++look) {
      if (ready()) {
        if (!preempted(last)) end.pauses.Kept();
        return ChannelOutcome::kDone;
      }
      Relax();
    }
    if (preempted(last)) break;
  }
  std::atomic<std::uint32_t>& asleep = PageOf(end).asleep[Side(end)].value;
  const auto came = [&] {
    if (took != nullptr) *took = Clock::now() - start;
    return ChannelOutcome::kDone;
  };
  int emptyWakes = 0;
  for (;;) {
    asleep.store(waitsFor, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ready()) {
      asleep.store(kAwake, std::memory_order_relaxed);
      return came();
    }
    long left = -1;
    if (timeoutMs >= 0) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      left = timeoutMs - static_cast<long>(spent);
      if (left <= 0) {
        asleep.store(kAwake, std::memory_order_relaxed);
        return ChannelOutcome::kTimedOut;
      }
    }
    // Time that is up is up, whatever came meanwhile: a wake lost would show
    // as a wait that timed out, not as a slow one.
    const ChannelOutcome woken = detail::AwaitWake(end, left);
    asleep.store(kAwake, std::memory_order_relaxed);
    if (woken == ChannelOutcome::kTimedOut) return woken;
    if (ready()) return came();
    if (woken != ChannelOutcome::kDone) return woken;
    if (++emptyWakes >= 2) {
      long pause = std::min<long>(1L << std::min(emptyWakes - 2, 6), kLongestDeafPause.count());
      if (left >= 0) pause = std::min(pause, left);
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }
}

// Rings the other side when it announced that it sleeps for what we just
// did (`wakes`: the reasons it may sleep for). True when it had to be rung.
bool WakeOther(ChannelEnd& end, std::uint32_t wakes) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::atomic<std::uint32_t>& asleep = PageOf(end).asleep[1 - Side(end)].value;
  const std::uint32_t sleeps = asleep.load(std::memory_order_relaxed);
  if ((sleeps & wakes) == 0) return false;  // awake, or asleep for something else
  std::uint32_t expected = sleeps;
  if (!asleep.compare_exchange_strong(expected, kAwake, std::memory_order_seq_cst)) return false;
  detail::RingWake(end);  // a side that is gone shows at the next wait
  return true;
}

}  // namespace

namespace detail {
const std::size_t kChannelPageBytes = sizeof(Page);

void PreparePage(void* page) {
  static_cast<Page*>(page)->options.value.store(g_watching ? 0 : kNeverWatch,
                                                std::memory_order_relaxed);
}
}  // namespace detail

void SetChannelWatchingForTesting(bool watch) { g_watching = watch; }
void SetChannelReadPauseForTesting(void (*pause)()) { g_readPause = pause; }

ChannelOutcome WriteToChannel(ChannelEnd& end, const void* bytes, std::size_t count,
                              long timeoutMs) {
  Ring& out = PageOf(end).rings[Side(end)];
  const std::uint8_t* next = static_cast<const std::uint8_t*>(bytes);
  end.rang = false;
  // One deadline for every wait for room, set at the first: a reader that
  // takes a byte at a time gets no fresh limit for each.
  Clock::time_point deadline;
  bool waitedBefore = false;
  while (count > 0) {
    // The other side's count of bytes taken is read only when the count
    // last read leaves too little room for what is left: a count read
    // earlier is never more than the truth, and reading it costs a cache
    // line the other side writes.
    std::uint32_t used = end.sent - end.takenSeen;
    const auto roomy = [&] {
      end.takenSeen = out.taken.value.load(std::memory_order_acquire);
      used = end.sent - end.takenSeen;
      return used != kRingBytes;
    };
    if (used > kRingBytes - std::min<std::size_t>(count, kRingBytes) && !roomy()) {
      long left = timeoutMs;
      if (timeoutMs >= 0) {
        if (!waitedBefore) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        const auto rest = deadline - Clock::now();
        left = static_cast<long>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(rest).count()));
      }
      waitedBefore = true;
      const ChannelOutcome waited = Wait(end, roomy, left, kSleepsForRoom, true);
      if (waited != ChannelOutcome::kDone) return waited;
    }
    if (used > kRingBytes) return ChannelOutcome::kCorrupt;
    const std::size_t part = std::min<std::size_t>(count, kRingBytes - used);
    const std::uint32_t at = end.sent % kRingBytes;
    const std::size_t first = std::min<std::size_t>(part, kRingBytes - at);
    std::memcpy(out.bytes + at, next, first);
    std::memcpy(out.bytes, next + first, part - first);
    end.sent += static_cast<std::uint32_t>(part);
    out.written.value.store(end.sent, std::memory_order_release);
    // A side that sleeps for room wakes as well; it looks at the ring again.
    end.rang = WakeOther(end, kSleepsForBytes | kSleepsForRoom) || end.rang;
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
  // Bytes already there came quickly; only a wait takes the clock.
  if (!arrived()) {
    Clock::duration took;
    const ChannelOutcome waited =
        Wait(end, arrived, timeoutMs, kSleepsForBytes, WatchesForBytes(end), &took);
    if (waited != ChannelOutcome::kDone) return waited;
    end.quick = took <= FullWatch(end);
  } else {
    end.quick = true;
  }
  if (waiting > kRingBytes) return ChannelOutcome::kCorrupt;
  if (g_readPause != nullptr) g_readPause();
  const std::size_t part = std::min<std::size_t>(capacity, waiting);
  const std::uint32_t at = end.taken % kRingBytes;
  const std::size_t first = std::min<std::size_t>(part, kRingBytes - at);
  std::uint8_t* into = static_cast<std::uint8_t*>(bytes);
  std::memcpy(into, in.bytes + at, first);
  std::memcpy(into + first, in.bytes, part - first);
  end.taken += static_cast<std::uint32_t>(part);
  in.taken.value.store(end.taken, std::memory_order_release);
  // A writer that found the ring full sleeps for room: what it saw then, not
  // what this read counted before, decides (it may have filled the ring
  // since), so it is asked for after the room is published.
  WakeOther(end, kSleepsForRoom);
  *got = part;
  return ChannelOutcome::kDone;
}

std::uint32_t ChannelTakenByOtherSide(ChannelEnd& end) {
  if (end.page == nullptr) return end.sent;
  return PageOf(end).rings[Side(end)].taken.value.load(std::memory_order_acquire);
}

bool ChannelHasInput(ChannelEnd& end) {
  const Ring& in = PageOf(end).rings[1 - Side(end)];
  return in.written.value.load(std::memory_order_acquire) != end.taken;
}

}  // namespace platform

}  // namespace vdqrn
