// Windows: the diagnostic log's file, the local time and the temporary
// folder.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/windows_support.h"

namespace vdqrn {
namespace platform {

using windows::ForFileSystem;
using windows::Widen;

FileHandle OpenLogFile(const char* path, bool truncate) {
  const HANDLE file = CreateFileW(
      ForFileSystem(Widen(path, CP_UTF8)).c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

namespace {

// Hands bytes to WriteFile until all are taken or it refuses; how many it
// took.
std::size_t WriteAll(HANDLE file, const char* bytes, std::size_t count) {
  std::size_t taken = 0;
  while (taken < count) {
    const DWORD allowed = static_cast<DWORD>(detail::LogWriteAllowance(count - taken));
    DWORD written = 0;
    if (allowed == 0 || !WriteFile(file, bytes + taken, allowed, &written, nullptr) ||
        written == 0) {
      break;
    }
    taken += written;
  }
  return taken;
}

}  // namespace

LogWritten WriteLogFile(FileHandle file, const char* bytes, std::size_t count) {
  if (file == kNoFile) return LogWritten::kNothing;
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  // Text mode: each "\n" is stored as "\r\n". The line is translated whole
  // and goes out in one write: a short one in this buffer, a longer one in
  // one of its own.
  char buffer[2 * 2048];
  std::string longer;
  char* translated = buffer;
  if (2 * count > sizeof buffer) {
    longer.resize(2 * count);
    translated = &longer[0];
  }
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (bytes[i] == '\n') translated[used++] = '\r';
    translated[used++] = bytes[i];
  }
  const std::size_t taken = WriteAll(handle, translated, used);
  if (taken == used) return LogWritten::kWhole;
  return taken == 0 ? LogWritten::kNothing : LogWritten::kPart;
}

void CloseLogFile(FileHandle file) {
  if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

// Windows refuses no file the log can open.
void ResetLogRefusalForTesting() {}

namespace detail {

LocalTime SystemLocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDay,
                   now.wHour, now.wMinute, now.wSecond};
}


// GetTempPathW's answer in UTF-8 (it ends with a backslash), or "c:\" when
// it fails or is longer than kMaxPath. Read in UTF-16, so that a folder name
// outside the ANSI code page still has its log.
std::size_t SystemTempDirectory(char* buffer) {
  wchar_t wide[kMaxPath + 1];
  const DWORD length = GetTempPathW(kMaxPath, wide);
  const int bytes = length == 0 || length > kMaxPath
                        ? 0
                        : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), buffer,
                                              static_cast<int>(kTempDirectoryBuffer - 1), nullptr,
                                              nullptr);
  if (bytes <= 0) {
    std::memcpy(buffer, "c:\\", 4);
    return 3;
  }
  buffer[bytes] = '\0';
  return static_cast<std::size_t>(bytes);
}

}  // namespace detail
}  // namespace platform
}  // namespace vdqrn
