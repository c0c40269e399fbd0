// Pauses that double while a side keeps losing its processor (watch_pauses.h).
#include "platform/watch_pauses.h"

#include <algorithm>

namespace vdqrn {

namespace platform {

void WatchPauses::Lost(long long now) {
  if (kept_ >= kWatchesToForget) repeats_ = 0;
  kept_ = 0;
  long long pause = kFirst;
  for (int doubling = 0; doubling < repeats_ && pause < kLongest; ++doubling) pause *= 2;
  pause = std::min(pause, kLongest);
  if (pause < kLongest) ++repeats_;
  until_ = std::max(until_, now + pause);
}

void WatchPauses::Kept() {
  if (kept_ < kWatchesToForget) ++kept_;
}

}  // namespace platform

}  // namespace vdqrn
