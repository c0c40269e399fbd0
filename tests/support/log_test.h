// The fixture of tests that write the log through the linked-in code: the log
// in a fresh directory, the clock fixed at 07.12.2026 04:50:45, and the next
// line truncating, as after a module load.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_directory.h"

namespace vdqrn {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The log file's lines without their line ends ("\n" or "\r\n").
  std::vector<std::string> LogLines() const;
  std::string LogPath() const;
  const std::string& Directory() const { return directory_.Path(); }

  static constexpr const char* kStamp = "07.12.2026 - 04:50:45  ";

 private:
  TestDirectory directory_;
};

}  // namespace vdqrn
