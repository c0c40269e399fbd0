#include "diagnostics/log.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vdqrn {

namespace diagnostics {
namespace {

// Cleared by the first OpenLog of the process, whether that open worked or not.
bool g_firstOpen = true;

// Writes the value in decimal, right-aligned in the width and filled with
// zeros on the left, as a stream with fill '0' and that width does.
char* ZeroFilled(char* out, int value, int width) {
  char digits[16];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
  for (int fill = width - static_cast<int>(written.ptr - digits); fill > 0; --fill) *out++ = '0';
  for (const char* digit = digits; digit != written.ptr; ++digit) *out++ = *digit;
  return out;
}

char* Literal(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

}  // namespace

const char kLogFileName[] = "QuarnClientDriver.log";

namespace {

// The log file's path, built in a buffer of the caller's: no allocation for
// every line.
struct LogPathBuffer {
  char text[platform::kTempDirectoryBuffer + sizeof kLogFileName];
  LogPathBuffer() {
    const std::size_t length = platform::TempDirectory(text);
    std::memcpy(text + length, kLogFileName, sizeof kLogFileName);
  }
};

}  // namespace

std::string LogFilePath() { return LogPathBuffer().text; }

LogFile OpenLog() {
  const bool truncate = g_firstOpen;
  g_firstOpen = false;
  return LogFile{platform::OpenLogFile(LogPathBuffer().text, truncate)};
}

void WriteLogLine(LogFile& file, const std::string& text) {
  const platform::LocalTime now = platform::CurrentLocalTime();
  // "DD.MM.YYYY - HH:MM:SS  ": the same bytes as a stream with fill '0' and
  // widths 2, 2, 4, 2, 2, 2 would give.
  char line[kLogLineBuffer];
  char* end = line;
  end = Literal(ZeroFilled(end, now.day, 2), ".");
  end = Literal(ZeroFilled(end, now.month, 2), ".");
  end = Literal(ZeroFilled(end, now.year, 4), " - ");
  end = Literal(ZeroFilled(end, now.hour, 2), ":");
  end = Literal(ZeroFilled(end, now.minute, 2), ":");
  end = Literal(ZeroFilled(end, now.second, 2), "  ");
  // A short line goes out in one write with its line end.
  if (text.size() < sizeof line - static_cast<std::size_t>(end - line)) {
    end = std::copy(text.begin(), text.end(), end);
    *end++ = '\n';
    platform::WriteLogFile(file.handle, line, static_cast<std::size_t>(end - line));
  } else {
    platform::WriteLogFile(file.handle, line, static_cast<std::size_t>(end - line));
    platform::WriteLogFile(file.handle, text.data(), text.size());
    platform::WriteLogFile(file.handle, "\n", 1);
  }
}

void CloseLog(LogFile& file) {
  platform::CloseLogFile(file.handle);
  file.handle = platform::kNoFile;
}

void LogTimestamped(const std::string& text) {
  LogFile file = OpenLog();
  WriteLogLine(file, text);
  CloseLog(file);
}

PlainLogLine& PlainLogLine::operator<<(const void* pointer) {
  if (pointer == nullptr) return Write("0", 1);
  char digits[2 + 2 * sizeof pointer] = {'0', 'x'};
  const std::to_chars_result written = std::to_chars(
      digits + 2, digits + sizeof digits, reinterpret_cast<std::uintptr_t>(pointer), 16);
  return Write(digits, static_cast<std::size_t>(written.ptr - digits));
}

PlainLogLine::PlainLogLine() : file_(OpenLog()) {}

PlainLogLine& PlainLogLine::Write(const char* bytes, std::size_t count) {
  if (count > sizeof pending_ - used_) {
    platform::WriteLogFile(file_.handle, pending_, used_);
    used_ = 0;
    if (count > sizeof pending_) {
      platform::WriteLogFile(file_.handle, bytes, count);
      return *this;
    }
  }
  std::memcpy(pending_ + used_, bytes, count);
  used_ += count;
  return *this;
}

PlainLogLine::~PlainLogLine() {
  Write("\n", 1);
  platform::WriteLogFile(file_.handle, pending_, used_);
  CloseLog(file_);
}

void ResetFirstOpenForTesting() {
  g_firstOpen = true;
  platform::ResetLogRefusalForTesting();
}

}  // namespace diagnostics

}  // namespace vdqrn
