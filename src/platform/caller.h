// What the host side needs of the process it runs in: the program's full
// path (for the allow list) and the thread's last-error slot.
// caller_posix.cc and caller_windows.cc implement it.
#pragma once

#include <cstdint>
#include <string>

namespace vdqrn {
namespace platform {

// The running program's full path in UTF-8 (Windows: the process's module
// file; elsewhere /proc/self/exe). Empty when it cannot be told.
std::string CallerProgramPath();

// Sets the calling thread's last error to a Windows error number: with
// SetLastError on Windows, in errno elsewhere.
void SetCallerError(std::uint32_t error);
// The calling thread's last error: GetLastError() on Windows, errno elsewhere.
std::uint32_t CallerError();

// The value of an environment variable; empty when it is not set.
std::string EnvironmentValue(const char* name);

}  // namespace platform
}  // namespace vdqrn
