// POSIX implementation of the caller seam.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/caller.h"

namespace vdqrn {
namespace platform {

std::string CallerProgramPath() {
  std::vector<char> buffer(4096);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return std::string();
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

void SetCallerError(std::uint32_t error) { errno = static_cast<int>(error); }

std::uint32_t CallerError() { return static_cast<std::uint32_t>(errno); }

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace platform
}  // namespace vdqrn
