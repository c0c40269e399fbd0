// When a side of the host channel may watch the ring before it sleeps. A side
// that lost its processor to another thread while it watched (or found every
// processor taken) sleeps at once for a while: briefly the first time, as on
// a small machine a passing thread takes a processor now and then, and twice
// as long each time it happens again before watching paid off, up to a
// tenth of a second on a machine that stays busy.
#pragma once

namespace vdqrn {

namespace platform {

class WatchPauses {
 public:
  // The first pause and the longest, in nanoseconds.
  static constexpr long long kFirst = 1000 * 1000;
  static constexpr long long kLongest = 100 * 1000 * 1000;
  // Watches that saw their bytes come with no processor lost before a pause
  // is brief again.
  static constexpr int kWatchesToForget = 128;

  // Whether this side may watch at `now` (steady clock, nanoseconds).
  bool MayWatch(long long now) const { return now >= until_; }
  // Another thread took this side's processor, or every processor is taken:
  // no watching until a pause from `now` is over.
  void Lost(long long now);
  // A watch saw its bytes come with this side's processor kept.
  void Kept();
  // The end of the current pause (0: none yet).
  long long Until() const { return until_; }

 private:
  int repeats_ = 0;  // pauses since watching last paid off
  int kept_ = 0;     // watches kept since the last pause
  long long until_ = 0;
};

}  // namespace platform

}  // namespace vdqrn
