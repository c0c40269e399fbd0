// The diagnostic log, QuarnClientDriver.log in the user's temporary directory.
// Every line opens the file, writes and closes it again, with the system's own
// calls (platform::OpenLogFile); nothing the log does can fail an operation: a
// file that did not open swallows what it is given.
#pragma once

#include <charconv>
#include <cstddef>

#include "platform/platform.h"
#include <string>
#include <type_traits>

namespace vdqrn {

namespace diagnostics {

extern const char kLogFileName[];

// A line up to this long (timestamp and line end included) is built without
// allocating; every line, however long, goes to the file in one write.
constexpr std::size_t kLogLineBuffer = 2048;

// Full path of the log file: the temporary directory, then kLogFileName.
std::string LogFilePath();

// One line's hold on the log file, from OpenLog to CloseLog.
struct LogFile {
  platform::FileHandle handle = platform::kNoFile;
};

// Opens the log file: truncating on the process's first open, appending
// afterwards. Holds no file when it cannot be opened; writes then go nowhere.
LogFile OpenLog();
// Writes "DD.MM.YYYY - HH:MM:SS  text" and a line end, in one write when the
// line is short.
void WriteLogLine(LogFile& file, const std::string& text);
void CloseLog(LogFile& file);

// One timestamped line: open, WriteLogLine, close.
void LogTimestamped(const std::string& text);

// One plain line (no date or time), built from pieces with <<; the line end
// and the close happen when the object goes away, on every way out:
//   PlainLogLine() << "Response sent (\"" << text << "\")";
// The pieces have the bytes that a standard stream's insertions would give
// (texts as they are, numbers in plain decimal, pointers as 0x... in hex or 0
// for null). They are gathered in a buffer and written in one go with the
// line end; a line too long for the buffer is gathered in one of its own and
// still written in one go.
class PlainLogLine {
 public:
  PlainLogLine();
  ~PlainLogLine();
  PlainLogLine(const PlainLogLine&) = delete;
  PlainLogLine& operator=(const PlainLogLine&) = delete;

  PlainLogLine& operator<<(const std::string& text) { return Write(text.data(), text.size()); }
  // A null text adds nothing.
  PlainLogLine& operator<<(const char* text) {
    return text != nullptr ? Write(text, std::char_traits<char>::length(text)) : *this;
  }
  PlainLogLine& operator<<(char character) { return Write(&character, 1); }
  PlainLogLine& operator<<(const void* pointer);

  template <typename Number,
            typename = std::enable_if_t<std::is_integral_v<Number> &&
                                        !std::is_same_v<Number, bool> &&
                                        !std::is_same_v<Number, char> &&
                                        !std::is_same_v<Number, signed char> &&
                                        !std::is_same_v<Number, unsigned char>>>
  PlainLogLine& operator<<(Number value) {
    char digits[24];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    return Write(digits, static_cast<std::size_t>(written.ptr - digits));
  }

 private:
  PlainLogLine& Write(const char* bytes, std::size_t count);

  LogFile file_;
  // pending_[0] is kept for the line end a cut earlier line lacks; the line
  // starts at pending_ + 1.
  char pending_[1 + kLogLineBuffer];
  std::size_t used_ = 0;
  std::string longer_;  // the whole line, with the same byte kept, once too long
};

// Makes the next OpenLog truncate again, as after a fresh module load.
void ResetFirstOpenForTesting();

}  // namespace diagnostics

}  // namespace vdqrn
