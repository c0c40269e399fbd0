// Windows implementation of the platform layer.
#include <windows.h>

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
std::string SystemTempDirectory() {
  char buffer[kMaxPath];
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length > sizeof buffer) return "c:\\";
  return std::string(buffer, length);
}

}  // namespace detail
}  // namespace platform
