#include "log_test.h"

#include <filesystem>
#include <fstream>

#include "diagnostics/log.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

platform::LocalTime FixedClock() { return platform::LocalTime{2026, 12, 7, 4, 50, 45}; }

}  // namespace

void LogTest::SetUp() {
  platform::SetTempDirectoryForTesting(directory_.Path() + static_cast<char>(
                                                        std::filesystem::path::preferred_separator));
  platform::SetClockForTesting(&FixedClock);
  diagnostics::ResetFirstOpenForTesting();
}

void LogTest::TearDown() {
  platform::SetTempDirectoryForTesting("");
  platform::SetClockForTesting(nullptr);
}

std::string LogTest::LogPath() const { return diagnostics::LogFilePath(); }

std::vector<std::string> LogTest::LogLines() const {
  std::ifstream file(LogPath(), std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace vdqrn
