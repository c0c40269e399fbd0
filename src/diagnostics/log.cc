#include "diagnostics/log.h"

#include <iomanip>

#include "platform/platform.h"

namespace diagnostics {
namespace {

// Cleared by the first OpenLog of the process, whether that open worked or not.
bool g_first_open = true;

}  // namespace

const char kLogFileName[] = "QuarnClientDriver.log";

std::string LogFilePath() { return platform::TempDirectory() + kLogFileName; }

std::ofstream OpenLog() {
  const std::ios_base::openmode mode =
      std::ios_base::out | (g_first_open ? std::ios_base::trunc : std::ios_base::app);
  g_first_open = false;
  std::ofstream stream;
  try {
    stream.open(LogFilePath(), mode);
  } catch (...) {
    // Building the path can run out of memory; the line is then lost.
    stream.setstate(std::ios_base::failbit);
  }
  return stream;
}

void WriteLogLine(std::ofstream& stream, const std::string& text) {
  const platform::LocalTime now = platform::CurrentLocalTime();
  stream.fill('0');
  stream << std::setw(2) << now.day << '.' << std::setw(2) << now.month << '.'
         << std::setw(4) << now.year << " - " << std::setw(2) << now.hour << ':'
         << std::setw(2) << now.minute << ':' << std::setw(2) << now.second << "  "
         << text << std::endl;
  stream.flush();
}

void CloseLog(std::ofstream& stream) { stream.close(); }

void LogTimestamped(const std::string& text) {
  std::ofstream stream = OpenLog();
  WriteLogLine(stream, text);
  CloseLog(stream);
}

PlainLogLine::PlainLogLine() : stream_(OpenLog()) {}

PlainLogLine::~PlainLogLine() {
  stream_ << std::endl;
  CloseLog(stream_);
}

void ResetFirstOpenForTesting() { g_first_open = true; }

}  // namespace diagnostics
