// The diagnostic log, QuarnClientDriver.log in the user's temporary directory.
// Every line opens the file, writes and closes it again; nothing the log does
// can fail an operation: a stream that did not open swallows what it is given.
#pragma once

#include <fstream>
#include <string>

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
class PlainLogLine {
 public:
  PlainLogLine();
  ~PlainLogLine();
  PlainLogLine(const PlainLogLine&) = delete;
  PlainLogLine& operator=(const PlainLogLine&) = delete;

  template <typename T>
  PlainLogLine& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  std::ofstream stream_;
};

// Makes the next OpenLog truncate again, as after a fresh module load.
void ResetFirstOpenForTesting();

}  // namespace diagnostics
