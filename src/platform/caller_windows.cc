// Windows implementation of the caller seam.
#include <windows.h>

#include <vector>

#include "platform/caller.h"

namespace vdqrn {
namespace platform {

namespace {

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
  return result;
}

}  // namespace

std::string CallerProgramPath() {
  // Long paths need more than MAX_PATH: grow until the name fits.
  for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
    std::vector<wchar_t> buffer(capacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return std::string();
    if (length < capacity) return Utf8(buffer.data(), static_cast<int>(length));
  }
  return std::string();
}

void SetCallerError(std::uint32_t error) { SetLastError(error); }

std::uint32_t CallerError() { return static_cast<std::uint32_t>(GetLastError()); }

std::string EnvironmentValue(const char* name) {
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  std::vector<wchar_t> wideName(static_cast<std::size_t>(wideLength > 0 ? wideLength : 1));
  MultiByteToWideChar(CP_UTF8, 0, name, -1, wideName.data(), wideLength);
  const DWORD size = GetEnvironmentVariableW(wideName.data(), nullptr, 0);
  if (size == 0) return std::string();
  std::vector<wchar_t> value(size);
  const DWORD length = GetEnvironmentVariableW(wideName.data(), value.data(), size);
  if (length == 0 || length >= size) return std::string();
  return Utf8(value.data(), static_cast<int>(length));
}

}  // namespace platform
}  // namespace vdqrn
