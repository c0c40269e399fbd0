// Test fixtures shared by the unit tests: a log directory of the test's own,
// a fixed clock, and the instrument libraries built for tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// Points the log at a fresh directory, fixes the clock at 07.12.2026 04:50:45
// and makes the next log line truncate, as after a module load.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The log file's lines without their line ends ("\n" or "\r\n").
  std::vector<std::string> LogLines() const;
  std::string LogPath() const;
  const std::string& Directory() const { return directory_; }

  static constexpr const char* kStamp = "07.12.2026 - 04:50:45  ";

 private:
  std::string directory_;
};

// The recording instrument library's controls, reached through its exports.
class RecordingLibrary {
 public:
  RecordingLibrary();
  ~RecordingLibrary();
  void Reset();
  std::string Journal();
  void SetBool(bool value);
  void SetInt(int value);
  void SetFloat(float value);
  void SetText(const char* text);

 private:
  platform::LibraryHandle library_;
  template <typename Fn>
  Fn Find(const char* name);
};
