// The diagnostic log, QuarnClientDriver.log in the user's temporary directory.
// Every line opens the file, writes and closes it again; nothing the log does
// can fail an operation: a stream that did not open swallows what it is given.
#pragma once

#include <charconv>
#include <cstddef>
#include <fstream>
#include <string>
#include <type_traits>

namespace diagnostics {

extern const char kLogFileName[];

// Full path of the log file: the temporary directory, then kLogFileName.
std::string LogFilePath();

// A stream on the log file: truncating on the process's first open, appending
// afterwards. Returned in the failed state when the file cannot be opened.
std::ofstream OpenLog();
// Writes "DD.MM.YYYY - HH:MM:SS  text", a line end, and flushes.
void WriteLogLine(std::ofstream& stream, const std::string& text);
void CloseLog(std::ofstream& stream);

// One timestamped line: open, WriteLogLine, close.
void LogTimestamped(const std::string& text);

// One plain line (no date or time), built from pieces with <<; the line end
// and the close happen when the object goes away, on every way out:
//   PlainLogLine() << "Response sent (\"" << text << "\")";
// The pieces have the bytes that the stream's own insertions would give
// (texts as they are, numbers in plain decimal, pointers as 0x... in hex or 0
// for null). They are gathered in a small buffer and handed to the line's
// stream in one go with the line end, rather than one stream insertion (and,
// for numbers, one pass through the stream's locale) per piece; a piece too
// long for the buffer goes straight to the stream.
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

  std::ofstream stream_;
  char pending_[256];
  std::size_t used_ = 0;
};

// Makes the next OpenLog truncate again, as after a fresh module load.
void ResetFirstOpenForTesting();

}  // namespace diagnostics
