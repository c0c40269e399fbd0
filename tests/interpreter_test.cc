#include <algorithm>

#include "interpreter/instrument.h"
#include "log_test.h"

namespace vdqrn {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kBadCast[] = "bad lexical cast: source type value could not be interpreted as target";

}  // namespace

TEST(CommandText, NameIsTheTextBeforeTheFirstSeparator) {
  EXPECT_EQ(GetCommandName("Measure"), "Measure");
  EXPECT_EQ(GetCommandName("SetOption|A|B|"), "SetOption");
  EXPECT_EQ(GetCommandName("|A|"), "");
  EXPECT_EQ(GetCommandName(""), "");
}

class Interpreter : public LogTest {
 protected:
  Instrument instrument;
  std::string Run(const std::string& text) { return instrument.Execute(text).ToString(); }
  std::string Line(const std::string& text) { return kStamp + text; }
};

TEST_F(Interpreter, ParametersAreTheSeparatorClosedPieces) {
  EXPECT_THAT(GetParameters("Measure"), IsEmpty());
  EXPECT_THAT(GetParameters("Measure|"), IsEmpty());
  EXPECT_THAT(GetParameters("GetOption|A"), IsEmpty());
  EXPECT_THAT(GetParameters("GetOption|A|"), ElementsAre("A"));
  EXPECT_THAT(GetParameters("SetOption|A|B|"), ElementsAre("A", "B"));
  EXPECT_THAT(GetParameters("SetOption|A|B"), ElementsAre("A"));
  EXPECT_THAT(GetParameters("SetOption|||"), ElementsAre("", ""));
  EXPECT_THAT(GetParameters("|A|"), ElementsAre("A"));
  EXPECT_THAT(GetParameters("X| a\t|\r\n|"), ElementsAre(" a\t", "\r\n"));
  EXPECT_EQ(LogLines().front(), Line("Parameters of Measure"));
}

TEST_F(Interpreter, GreetingIsAnsweredWithoutParsing) {
  EXPECT_EQ(Run("Hello"), "OK|Hello");
  EXPECT_EQ(Run("HelloWorld"), "OK|Hello");
  EXPECT_EQ(Run("Hello|A|"), "OK|Hello");
  EXPECT_THAT(LogLines(), ElementsAre(Line("Hello -> Hello"), Line("Hello -> Hello"),
                                      Line("Hello -> Hello")));
}

TEST_F(Interpreter, UnknownNamesAreRefusedAfterTheParametersLine) {
  EXPECT_EQ(Run("hello"), "ERROR|Unknown command \"hello\"");
  EXPECT_EQ(Run(""), "ERROR|Unknown command \"\"");
  EXPECT_EQ(Run("Connect\n"), "ERROR|Unknown command \"Connect\n\"");
  EXPECT_EQ(Run(std::string("Connect\0", 8)), std::string("ERROR|Unknown command \"Connect\0\"", 32));
  EXPECT_EQ(Run("connect|x|"), "ERROR|Unknown command \"connect\"");
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), Line("Parameters of hello"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("  Command ") != std::string::npos; }),
            0);
}

TEST_F(Interpreter, CommandLineListsTheParameters) {
  Run("GetAngles");
  Run("SetOption|A|B|");
  Run("GetOption||");
  EXPECT_THAT(LogLines(),
              ElementsAre(Line("Parameters of GetAngles"), Line("Command GetAngles ()"),
                          Line("Parameters of SetOption|A|B|"), Line("Command SetOption (A, B)"),
                          Line("Parameters of GetOption||"), Line("Command GetOption ()")));
}

TEST_F(Interpreter, InitIsRoutedWithoutACommandLine) {
  EXPECT_EQ(Run("Init|X"), "ERROR|Missing parameter");
  EXPECT_THAT(LogLines(), ElementsAre(Line("Parameters of Init|X")));
}

TEST_F(Interpreter, FailedConversionBecomesAnErrorAfterTheCommandLine) {
  EXPECT_EQ(Run("GetAngleValue|abc|"),
            std::string("ERROR|Error executing command \"GetAngleValue\" (") + kBadCast + ")");
  EXPECT_EQ(LogLines().back(), Line("Command GetAngleValue (abc)"));
}

TEST_F(Interpreter, LibraryCommandsWithoutALibraryAreRefused) {
  EXPECT_EQ(Run("Connect"), "ERROR|No driver loaded");
  EXPECT_EQ(Run("GetSpectralDataAll|0|"), "ERROR|No driver loaded");
  // The parameter check and the conversions come first.
  EXPECT_EQ(Run("SetLanguage"), "ERROR|Missing parameter");
  EXPECT_EQ(Run("SetLanguage|x|"),
            std::string("ERROR|Error executing command \"SetLanguage\" (") + kBadCast + ")");
}

TEST_F(Interpreter, InitIsRoutedByTheDispatcherNotTheTable) {
  const std::vector<std::string> names = instrument.CommandNames();
  EXPECT_EQ(std::find(names.begin(), names.end(), "Init"), names.end());
}

}  // namespace vdqrn
