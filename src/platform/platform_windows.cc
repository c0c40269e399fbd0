// Windows implementation of the platform layer.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

const char kLocalLibraryPrefix[] = ".\\";
const char kLibrarySuffix[] = ".dll";

LibraryHandle LoadDynamicLibrary(const char* path) {
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void* FindExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

namespace detail {

LocalTime SystemLocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDay,
                   now.wHour, now.wMinute, now.wSecond};
}

// GetTempPathA's answer (it ends with a backslash), or "c:\" when it fails or
// does not fit its buffer.
std::size_t SystemTempDirectory(char* buffer) {
  const DWORD length = GetTempPathA(kMaxPath, buffer);
  if (length == 0 || length > kMaxPath) {
    std::memcpy(buffer, "c:\\", 4);
    return 3;
  }
  buffer[length] = '\0';
  return length;
}

}  // namespace detail
}  // namespace platform
