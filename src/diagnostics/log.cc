#include "diagnostics/log.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vdqrn {

namespace diagnostics {
namespace {

// Cleared by the first OpenLog of the process, whether that open worked or not.
bool g_firstOpen = true;

// Set when a line reached the file only in part (the file system filled up):
// the next line that is written starts with the line end the cut one lacks,
// so that a reader never sees two lines as one.
std::atomic<bool> g_lineCut{false};

// Writes one whole line (its line end included) in one write. `room` is a
// byte before `bytes` that may be used for the line end a cut line lacks.
void WriteLine(LogFile& file, char* room, const char* bytes, std::size_t count) {
  if (file.handle == platform::kNoFile) return;
  const bool endCut = g_lineCut.load();
  const char* from = bytes;
  if (endCut) {
    *room = '\n';
    from = room;
  }
  const platform::LogWritten written =
      platform::WriteLogFile(file.handle, from, count + (endCut ? 1 : 0));
  if (written == platform::LogWritten::kWhole) {
    g_lineCut = false;
  } else if (written == platform::LogWritten::kPart) {
    g_lineCut = true;
  }
}

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
  // One byte ahead of the line for the line end a cut line lacks.
  char buffer[1 + kLogLineBuffer];
  char* const line = buffer + 1;
  char* end = line;
  end = Literal(ZeroFilled(end, now.day, 2), ".");
  end = Literal(ZeroFilled(end, now.month, 2), ".");
  end = Literal(ZeroFilled(end, now.year, 4), " - ");
  end = Literal(ZeroFilled(end, now.hour, 2), ":");
  end = Literal(ZeroFilled(end, now.minute, 2), ":");
  end = Literal(ZeroFilled(end, now.second, 2), "  ");
  // A short line is built here; a longer one in a buffer of its own: each
  // goes out in one write with its line end.
  if (text.size() < kLogLineBuffer - static_cast<std::size_t>(end - line)) {
    end = std::copy(text.begin(), text.end(), end);
    *end++ = '\n';
    WriteLine(file, buffer, line, static_cast<std::size_t>(end - line));
  } else {
    std::string whole(1, '\0');
    whole.append(line, end);
    whole += text;
    whole += '\n';
    WriteLine(file, &whole[0], &whole[1], whole.size() - 1);
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
  // A line longer than the buffer moves to one of its own: it still goes
  // out in one write.
  if (!longer_.empty() || count > sizeof pending_ - 1 - used_) {
    if (longer_.empty()) longer_.assign(pending_, 1 + used_);
    longer_.append(bytes, count);
    return *this;
  }
  std::memcpy(pending_ + 1 + used_, bytes, count);
  used_ += count;
  return *this;
}

PlainLogLine::~PlainLogLine() {
  Write("\n", 1);
  if (longer_.empty()) {
    WriteLine(file_, pending_, pending_ + 1, used_);
  } else {
    WriteLine(file_, &longer_[0], &longer_[1], longer_.size() - 1);
  }
  CloseLog(file_);
}

void ResetFirstOpenForTesting() {
  g_firstOpen = true;
  g_lineCut = false;
  platform::ResetLogRefusalForTesting();
}

}  // namespace diagnostics

}  // namespace vdqrn
