// Matching the module's log lines in tests: expected lines are plain texts,
// or Stamped(text) for a timestamped line.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vdqrn {

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
// The lines one a line, indented, timestamped ones marked: for failure texts.
std::string Quoted(const std::vector<std::string>& lines);
// A pointer as the module writes it into its log.
std::string PointerText(const void* pointer);

}  // namespace vdqrn
