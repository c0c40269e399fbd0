// The parts of the platform layer that are the same on every system: the test
// seams in front of the clock and the temporary directory.
#include "platform/platform.h"

namespace platform {
namespace {

ClockFunction g_clock = nullptr;

// Function-local so that it is ready for the log line written while the module
// is being loaded, before other statics are constructed.
std::string& TempDirectoryOverride() {
  static std::string directory;
  return directory;
}

}  // namespace

LocalTime CurrentLocalTime() {
  return g_clock != nullptr ? g_clock() : detail::SystemLocalTime();
}

std::string TempDirectory() {
  const std::string& override_dir = TempDirectoryOverride();
  return override_dir.empty() ? detail::SystemTempDirectory() : override_dir;
}

void SetClockForTesting(ClockFunction clock) { g_clock = clock; }

void SetTempDirectoryForTesting(const std::string& directory) {
  TempDirectoryOverride() = directory;
}

}  // namespace platform
