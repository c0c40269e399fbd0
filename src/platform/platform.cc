// The parts of the platform layer that are the same on every system: the test
// seams in front of the clock and the temporary directory.
#include "platform/platform.h"

namespace vdqrn {

namespace platform {
namespace {

ClockFunction g_clock = nullptr;
long g_logWriteLimit = -1;

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
  char buffer[kTempDirectoryBuffer];
  const std::size_t length = TempDirectory(buffer);
  return std::string(buffer, length);
}

std::size_t TempDirectory(char* buffer) {
  const std::string& overrideDirectory = TempDirectoryOverride();
  if (overrideDirectory.empty()) return detail::SystemTempDirectory(buffer);
  const std::size_t length = overrideDirectory.copy(buffer, kMaxPath);
  buffer[length] = '\0';
  return length;
}

void SetClockForTesting(ClockFunction clock) { g_clock = clock; }

void SetLogWriteLimitForTesting(long bytes) { g_logWriteLimit = bytes; }

namespace detail {

std::size_t LogWriteAllowance(std::size_t count) {
  if (g_logWriteLimit < 0) return count;
  return count < static_cast<std::size_t>(g_logWriteLimit) ? count
                                                          : static_cast<std::size_t>(g_logWriteLimit);
}

}  // namespace detail

void SetTempDirectoryForTesting(const std::string& directory) {
  TempDirectoryOverride() = directory;
}

}  // namespace platform

}  // namespace vdqrn
