// qrnctl run in process against the fake channel functions: each diagnosis
// of check with its exit code, and the conversation's output and exit codes.
#include <gtest/gtest.h>

#include <sstream>

#include "exit_codes.h"
#include "fake_channels.h"
#include "tool.h"

namespace qrnclient_test {
namespace {

const char kProgram[] = "C:\\Tools\\qrnctl.exe";

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

Outcome Qrnctl(const std::vector<std::string>& arguments, const std::string& input = "",
           bool functionsFound = true) {
  qrnctl::Environment environment;
  environment.functions.ok = functionsFound;
  environment.functions.functions = FakeFunctions();
  if (!functionsFound) environment.functions.problem = "wfapi64.dll could not be loaded (error 126)";
  environment.programPath = kProgram;
  std::istringstream in(input);
  std::ostringstream out, err;
  const int code = qrnctl::RunQrnctl(arguments, environment, in, out, err);
  return {code, out.str(), err.str()};
}

// A driver with the simulated instrument behind it.
std::vector<std::string> Driver(const std::string&, const std::string& command) {
  if (command == "QuarnClientDriverVersion") return {"1.5.0"};
  if (command == "Init|simspectro|") return {"OK"};
  if (command.rfind("Init|", 0) == 0) {
    return {"ERROR|Error loading driver (\"" + command.substr(5, command.size() - 6) + "\") on client"};
  }
  if (command == "Connect") return {"OK|true"};
  if (command == "Disconnect") return {"OK|true"};
  if (command == "Hello") return {"OK|Hello"};
  return {UnknownCommandAnswer(command)};
}

class QrnctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFake();
    Fake().driver = &Driver;
  }
};

TEST_F(QrnctlTest, CheckTellsEachProblemApartByWordsAndExitCode) {
  const Outcome well = Qrnctl({"check", "--library", "simspectro"});
  EXPECT_EQ(well.code, qrnctl::kExitOk) << well.out;
  EXPECT_NE(well.out.find("driver: version 1.5.0"), std::string::npos);
  EXPECT_NE(well.out.find("instrument: connected"), std::string::npos);
  EXPECT_NE(well.out.find("All is well."), std::string::npos);
  EXPECT_EQ(Fake().writes.back().second, "Disconnect");

  const Outcome noFunctions = Qrnctl({"check"}, "", false);
  EXPECT_EQ(noFunctions.code, qrnctl::kExitNoChannelFunctions);
  EXPECT_NE(noFunctions.out.find("wfapi64.dll could not be loaded"), std::string::npos);

  ResetFake();
  Fake().driver = &Driver;
  Fake().openFailures["QrnCmd1"] = 5;
  const Outcome denied = Qrnctl({"check"});
  EXPECT_EQ(denied.code, qrnctl::kExitAccessDenied);
  EXPECT_NE(denied.out.find("allow list"), std::string::npos);
  EXPECT_NE(denied.out.find("\n  QrnCmd1,C:\\Tools\\qrnctl.exe\n  QrnDta1,C:\\Tools\\qrnctl.exe"),
            std::string::npos)
      << denied.out;

  ResetFake();
  Fake().driver = &Driver;
  Fake().openFailures["QrnDta1"] = 1;
  EXPECT_EQ(Qrnctl({"check"}).code, qrnctl::kExitChannelsClosed);

  ResetFake();
  Fake().driver = [](const std::string&, const std::string&) { return std::vector<std::string>{}; };
  const Outcome silent = Qrnctl({"check", "--timeout", "10"});
  EXPECT_EQ(silent.code, qrnctl::kExitNoDriver);
  EXPECT_NE(silent.out.find("did not answer within 10 ms"), std::string::npos);
  EXPECT_NE(silent.out.find("not installed"), std::string::npos);

  ResetFake();
  Fake().driver = &Driver;
  const Outcome missing = Qrnctl({"check", "--library", "vendorlib"});
  EXPECT_EQ(missing.code, qrnctl::kExitLibraryLoad);
  EXPECT_NE(missing.out.find("\"vendorlib\" did not load on the client"), std::string::npos);
  EXPECT_NE(missing.out.find("Error loading driver (\"vendorlib\") on client"), std::string::npos)
      << missing.out;

  Fake().driver = [](const std::string& channel, const std::string& command) {
    if (command == "Connect") return std::vector<std::string>{"OK|false"};
    if (command == "GetLastErrorString") return std::vector<std::string>{"OK|No instrument found"};
    return Driver(channel, command);
  };
  const Outcome unplugged = Qrnctl({"check", "--library", "simspectro"});
  EXPECT_EQ(unplugged.code, qrnctl::kExitLibraryConnect);
  EXPECT_NE(unplugged.out.find("the library says: No instrument found"), std::string::npos);
}

TEST_F(QrnctlTest, SendAndScriptPrintTheConversationAsEngineSimDoes) {
  const Outcome hello = Qrnctl({"send", "Hello"});
  EXPECT_EQ(hello.code, qrnctl::kExitOk);
  EXPECT_EQ(hello.out, "> Hello\n< OK|Hello\n");

  const Outcome unknown = Qrnctl({"send", "Bogus\r\n"});
  EXPECT_EQ(unknown.code, qrnctl::kExitErrorAnswer);
  EXPECT_EQ(unknown.out, "> Bogus\\r\\n\n< ERROR|Unknown command \"Bogus\\r\\n\"\n");

  const Outcome script = Qrnctl({}, "# a comment\nHello\n\nQuarnClientDriverVersion\r\n");
  EXPECT_EQ(script.code, qrnctl::kExitOk);
  EXPECT_EQ(script.out, "> Hello\n< OK|Hello\n> QuarnClientDriverVersion\n< 1.5.0\n");

  Fake().driver = [](const std::string&, const std::string& command) {
    return command == "Hello" ? std::vector<std::string>{"OK|Hello"} : std::vector<std::string>{};
  };
  const Outcome late = Qrnctl({"--timeout", "5"}, "Measure\n");
  EXPECT_EQ(late.code, qrnctl::kExitNoResponse);
  EXPECT_NE(late.err.find("no response to \"Measure\""), std::string::npos);
}

TEST_F(QrnctlTest, BadCommandLinesAreUsageErrors) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"send"},
                                             {"--library", "x"},
                                             {"check", "--script", "f"},
                                             {"--timeout", "soon"},
                                             {"--channel", "both"},
                                             {"--frobnicate"}}) {
    EXPECT_EQ(Qrnctl(arguments).code, qrnctl::kExitUsage) << arguments[0];
  }
  EXPECT_EQ(Qrnctl({"--script", "/nonexistent/script.txt"}).code, qrnctl::kExitScript);
  EXPECT_NE(Qrnctl({"--help"}).out.find("Exit codes:"), std::string::npos);
}

}  // namespace
}  // namespace qrnclient_test
