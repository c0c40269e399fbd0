// Shared pieces of the session channel tests: a directory of the test's own
// for the module's log, the loaded driver module behind an engine simulator,
// and matchers for log lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_sim.h"

// A fresh directory, removed again when the object goes away.
class TestDirectory {
 public:
  TestDirectory();
  ~TestDirectory();
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Expected log lines are written as plain texts, or as Stamped(text) for a
// timestamped line: "DD.MM.YYYY - HH:MM:SS  " followed by exactly the text.
std::string Stamped(const std::string& text);
bool LineMatches(const std::string& line, const std::string& expected);
bool IsTimestamped(const std::string& line, const std::string& text);

// The lines exactly as expected, one for one.
::testing::AssertionResult LinesAre(const std::vector<std::string>& lines,
                                    const std::vector<std::string>& expected);
// The lines from the first one that matches on; empty when none does.
std::vector<std::string> LinesFrom(const std::vector<std::string>& lines,
                                   const std::string& expected);
// The expected lines appear in this order, not necessarily next to each other.
::testing::AssertionResult ContainsInOrder(const std::vector<std::string>& lines,
                                           const std::vector<std::string>& expected);
int CountLines(const std::vector<std::string>& lines, const std::string& expected);
// A pointer as the module writes it into its log.
std::string PointerText(const void* pointer);

// The built driver module's path in the current (the binaries') directory.
std::string ModulePath();

// The built driver module, loaded through the engine simulator with its log
// in a directory of the test's own.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Scripts the winstation driver's version and opens the module; expects 0.
  void OpenWithVersion(std::uint16_t version);
  std::vector<std::string> LogLines() const;
  std::uint16_t CommandChannel() const;
  std::uint16_t DataChannel() const;

  TestDirectory directory_;
  engine_sim::Engine engine_;
};
