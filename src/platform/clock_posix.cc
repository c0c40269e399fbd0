// POSIX: the local time.
#include <ctime>

#include "platform/platform.h"

namespace vdqrn {
namespace platform {
namespace detail {

// Lines come many to a second: the broken-down time of the last second asked
// for on this thread is kept, and the conversion runs once a second.
LocalTime SystemLocalTime() {
  thread_local std::time_t lastSecond = static_cast<std::time_t>(-1);
  thread_local LocalTime last{};
  const std::time_t now = std::time(nullptr);
  if (now != lastSecond) {
    std::tm parts{};
    localtime_r(&now, &parts);
    last = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    lastSecond = now;
  }
  return last;
}
}  // namespace detail
}  // namespace platform
}  // namespace vdqrn
