#include "diagnostics/log.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace diagnostics {
namespace {

// Cleared by the first OpenLog of the process, whether that open worked or not.
bool g_first_open = true;

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

std::ofstream OpenLog() {
  const std::ios_base::openmode mode =
      std::ios_base::out | (g_first_open ? std::ios_base::trunc : std::ios_base::app);
  g_first_open = false;
  std::ofstream stream;
  try {
    stream.open(LogPathBuffer().text, mode);
  } catch (...) {
    // Opening can run out of memory for the stream's buffer; the line is
    // then lost.
    stream.setstate(std::ios_base::failbit);
  }
  return stream;
}

void WriteLogLine(std::ofstream& stream, const std::string& text) {
  const platform::LocalTime now = platform::CurrentLocalTime();
  // "DD.MM.YYYY - HH:MM:SS  ": the same bytes as the stream with fill '0' and
  // widths 2, 2, 4, 2, 2, 2 would give, formatted here in one go.
  char prefix[256];
  char* end = prefix;
  end = Literal(ZeroFilled(end, now.day, 2), ".");
  end = Literal(ZeroFilled(end, now.month, 2), ".");
  end = Literal(ZeroFilled(end, now.year, 4), " - ");
  end = Literal(ZeroFilled(end, now.hour, 2), ":");
  end = Literal(ZeroFilled(end, now.minute, 2), ":");
  end = Literal(ZeroFilled(end, now.second, 2), "  ");
  // A short line goes to the stream in one piece with its line end.
  if (text.size() < sizeof prefix - static_cast<std::size_t>(end - prefix)) {
    end = std::copy(text.begin(), text.end(), end);
    *end++ = '\n';
    stream.write(prefix, end - prefix);
  } else {
    stream.write(prefix, end - prefix);
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    stream.put('\n');
  }
  stream.flush();
}

void CloseLog(std::ofstream& stream) { stream.close(); }

void LogTimestamped(const std::string& text) {
  std::ofstream stream = OpenLog();
  WriteLogLine(stream, text);
  CloseLog(stream);
}

PlainLogLine& PlainLogLine::operator<<(const void* pointer) {
  if (pointer == nullptr) return Write("0", 1);
  char digits[2 + 2 * sizeof pointer] = {'0', 'x'};
  const std::to_chars_result written = std::to_chars(
      digits + 2, digits + sizeof digits, reinterpret_cast<std::uintptr_t>(pointer), 16);
  return Write(digits, static_cast<std::size_t>(written.ptr - digits));
}

PlainLogLine::PlainLogLine() : stream_(OpenLog()) {}

PlainLogLine& PlainLogLine::Write(const char* bytes, std::size_t count) {
  if (count > sizeof pending_ - used_) {
    stream_.write(pending_, static_cast<std::streamsize>(used_));
    used_ = 0;
    if (count > sizeof pending_) {
      stream_.write(bytes, static_cast<std::streamsize>(count));
      return *this;
    }
  }
  std::memcpy(pending_ + used_, bytes, count);
  used_ += count;
  return *this;
}

PlainLogLine::~PlainLogLine() {
  Write("\n", 1);
  stream_.write(pending_, static_cast<std::streamsize>(used_));
  stream_.flush();
  CloseLog(stream_);
}

void ResetFirstOpenForTesting() { g_first_open = true; }

}  // namespace diagnostics
