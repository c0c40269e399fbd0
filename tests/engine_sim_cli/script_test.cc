// Command lines: line ends are not part of the command, blank lines and
// comments carry none, and nothing else is trimmed.
#include "script.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vdqrn {

namespace {

using conversation_text::IsCommandLine;
using conversation_text::IsExpectationLine;
using conversation_text::ReadLine;

std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (ReadLine(in, &line)) lines.push_back(line);
  return lines;
}

TEST(ScriptLines, BothLineEndsAreDropped) {
  EXPECT_EQ(Lines("Hello\r\nConnect\nMeasure\r\n"),
            (std::vector<std::string>{"Hello", "Connect", "Measure"}));
}

TEST(ScriptLines, LastLineWithoutLineEndCounts) {
  EXPECT_EQ(Lines("Hello\nDisconnect"), (std::vector<std::string>{"Hello", "Disconnect"}));
  EXPECT_TRUE(Lines("").empty());
}

TEST(ScriptLines, CarriageReturnInsideALineStays) {
  EXPECT_EQ(Lines("A\rB\r\r\n"), (std::vector<std::string>{"A\rB\r"}));
}

TEST(ScriptLines, BlankLinesAndCommentsCarryNoCommand) {
  EXPECT_FALSE(IsCommandLine(""));
  EXPECT_FALSE(IsCommandLine("   "));
  EXPECT_FALSE(IsCommandLine(" \t "));
  EXPECT_FALSE(IsCommandLine("#"));
  EXPECT_FALSE(IsCommandLine("# Init|simspectro|"));
}

TEST(ScriptLines, ExpectationsCarryNoCommandAndMatchWhatIsPrinted) {
  EXPECT_FALSE(IsCommandLine("< OK"));
  EXPECT_TRUE(IsExpectationLine("< OK"));
  EXPECT_FALSE(IsExpectationLine("<OK"));
  struct Case {
    const char* response;
    const char* line;
    bool meets;
  };
  const Case cases[] = {
      {"OK|true", "< OK|true", true},
      {"OK|true", "< OK|tru", false},
      {"OK|true", "< OK|true ", false},
      {"OK", "< ", false},
      {"", "< ", true},
      {"OK|0.082;0.076", "< OK|0.08...", true},
      {"OK|0.082;0.076", "< OK|0.07...", false},
      {"OK|...", "< OK|...", true},
      {"A\r\nB", "< A\\r\\nB", true},  // control bytes as printed
  };
  for (const Case& test : cases) {
    EXPECT_EQ(conversation_text::MeetsExpectation(test.response, test.line), test.meets)
        << test.response << " against " << test.line;
  }
}

TEST(ScriptLines, EverythingElseIsACommand) {
  EXPECT_TRUE(IsCommandLine("Hello"));
  EXPECT_TRUE(IsCommandLine(" #not a comment"));
  EXPECT_TRUE(IsCommandLine("|"));
  EXPECT_TRUE(IsCommandLine(" Connect "));
}

}  // namespace

}  // namespace vdqrn
