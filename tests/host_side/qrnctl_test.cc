// qrnctl run in process against the fake channel functions: each diagnosis
// of check with its exit code, and the conversation's output and exit codes.
#include <gtest/gtest.h>

#include <sstream>

#include "exit_codes.h"
#include "fake_channels.h"
#include "tool.h"
#include "verdict.h"

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

// The library the driver has loaded ("" for none).
std::string g_loaded;

// A driver with the simulated instrument behind it.
std::vector<std::string> Driver(const std::string&, const std::string& command) {
  if (command == "QuarnClientDriverVersion") return {"1.5.0"};
  if (command == "Init|simspectro|") {
    g_loaded = "simspectro";
    return {"OK"};
  }
  if (command.rfind("Init|", 0) == 0) {
    g_loaded.clear();
    return {"ERROR|Error loading driver (\"" + command.substr(5, command.size() - 6) + "\") on client"};
  }
  if (command == "IsConnected") return {g_loaded.empty() ? "ERROR|No driver loaded" : "OK|false"};
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
    g_loaded.clear();
  }
};

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(QrnctlTest, CheckPrintsItsVerdictFirstAndOnce) {
  const Outcome well = Qrnctl({"check", "--library", "simspectro"});
  EXPECT_EQ(well.out.rfind("All is well.\n", 0), 0u) << well.out;
  // It leaves no library loaded, as it found the session.
  EXPECT_EQ(Fake().writes.back().second, "Init|:|");
  EXPECT_EQ(g_loaded, "");

  ResetFake();
  Fake().openFailures["QrnCmd1"] = 5;
  const Outcome denied = Qrnctl({"check"});
  EXPECT_EQ(denied.out.rfind("PROBLEM: The virtual channel QrnCmd1 did not open", 0), 0u) << denied.out;
  EXPECT_EQ(Count(denied.out, "did not open"), 2u) << denied.out;  // the problem, the detail
  EXPECT_EQ(Count(denied.out, "QrnCmd1,C:\\Tools\\qrnctl.exe"), 1u) << denied.out;
  EXPECT_EQ(denied.err, "");

  const Outcome missing = Qrnctl({"check"}, "", false);
  EXPECT_EQ(missing.out.rfind("PROBLEM: wfapi64.dll could not be loaded", 0), 0u) << missing.out;
  EXPECT_EQ(Count(missing.out + missing.err, "could not be loaded"), 1u);
}

TEST_F(QrnctlTest, CheckJsonCarriesTheExitCodesNameAndTheDetails) {
  Fake().openFailures["QrnDta1"] = 5;
  const Outcome denied = Qrnctl({"check", "--json"});
  EXPECT_EQ(denied.code, qrnctl::kExitAccessDenied);
  EXPECT_EQ(denied.out.rfind("{\"exit_code\": 6, \"exit_name\": \"access_denied\", \"problem\": ", 0), 0u)
      << denied.out;
  EXPECT_NE(denied.out.find("\"allow_list_entries\": [\"QrnCmd1,C:\\\\Tools\\\\qrnctl.exe\", "
                            "\"QrnDta1,C:\\\\Tools\\\\qrnctl.exe\"]}\n"),
            std::string::npos)
      << denied.out;

  ResetFake();
  Fake().driver = &Driver;
  const Outcome well = Qrnctl({"check", "--json"});
  EXPECT_EQ(well.out,
            "{\"exit_code\": 0, \"exit_name\": \"ok\", \"problem\": null, \"advice\": [], \"details\": "
            "{\"channel functions\": \"" + std::string(qrnclient::ChannelLibraryName()) +
                "\", \"channels\": \"QrnCmd1 and QrnDta1 open\", \"driver\": \"version 1.5.0 "
                "answers on the client\"}, \"allow_list_entries\": []}\n");
  EXPECT_EQ(qrnctl::JsonString(std::string("a\"\\\n\x01\xc3\xa9", 7)), "\"a\\\"\\\\\\n\\u0001\\u00c3\\u00a9\"");
}

TEST_F(QrnctlTest, CheckLibraryLeavesARunningApplicationsLibraryAlone) {
  g_loaded = "vendorlib";  // the host application's
  const Outcome inUse = Qrnctl({"check", "--library", "simspectro"});
  EXPECT_EQ(inUse.code, qrnctl::kExitLibraryInUse);
  EXPECT_NE(inUse.out.find("an instrument library is loaded in this session already"), std::string::npos)
      << inUse.out;
  EXPECT_EQ(g_loaded, "vendorlib");
  for (const auto& write : Fake().writes) EXPECT_NE(write.second.rfind("Init", 0), 0u);
}

TEST_F(QrnctlTest, AnUnsafeNameAndATooLongCommandHaveWordsAndCodesOfTheirOwn) {
  const Outcome unsafe = Qrnctl({"check", "--library", "..\\..\\evil"});
  EXPECT_EQ(unsafe.code, qrnctl::kExitUnsafeLibraryName);
  EXPECT_NE(unsafe.out.find("refuses the instrument library name"), std::string::npos) << unsafe.out;
  EXPECT_EQ(unsafe.out.find("installed"), std::string::npos) << unsafe.out;
  EXPECT_EQ(Fake().writes.size(), 1u);  // the version only

  ResetFake();
  Fake().driver = &Driver;
  const Outcome tooLong = Qrnctl({"send", std::string(4997, 'x')});
  EXPECT_EQ(tooLong.code, qrnctl::kExitCommandTooLong);
  EXPECT_NE(tooLong.err.find("command too long, not sent"), std::string::npos) << tooLong.err;
  EXPECT_TRUE(Fake().writes.empty());
  const Outcome script = Qrnctl({}, "Hello\n" + std::string(5000, 'y') + "\n");
  EXPECT_EQ(script.code, qrnctl::kExitCommandTooLong);
  EXPECT_EQ(Fake().writes.size(), 1u);
}

TEST_F(QrnctlTest, CheckTellsEachProblemApartByWordsAndExitCode) {
  const Outcome well = Qrnctl({"check", "--library", "simspectro"});
  EXPECT_EQ(well.code, qrnctl::kExitOk) << well.out;
  EXPECT_NE(well.out.find("driver: version 1.5.0"), std::string::npos);
  EXPECT_NE(well.out.find("instrument: connected"), std::string::npos);
  EXPECT_NE(well.out.find("All is well."), std::string::npos);
  EXPECT_EQ(Fake().writes[Fake().writes.size() - 2].second, "Disconnect");

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
  const Outcome json = Qrnctl({"send", "Bogus", "--json"});
  EXPECT_EQ(json.code, qrnctl::kExitErrorAnswer);
  EXPECT_EQ(json.out.rfind("{\"exit_code\": 1, \"exit_name\": \"error_answer\", \"problem\": null", 0), 0u)
      << json.out;
  EXPECT_NE(json.out.find("\"command\": \"Bogus\", \"response\": \"ERROR|Unknown command \\\"Bogus\\\"\"}"),
            std::string::npos)
      << json.out;

  const Outcome unknown = Qrnctl({"send", "Bogus\r\n"});
  EXPECT_EQ(unknown.code, qrnctl::kExitErrorAnswer);
  EXPECT_EQ(unknown.out, "> Bogus\\r\\n\n< ERROR|Unknown command \"Bogus\\r\\n\"\n");

  const Outcome script =
      Qrnctl({}, "# a comment\nHello\n< OK|Hello\n\nQuarnClientDriverVersion\r\n< 1.5...\n");
  EXPECT_EQ(script.code, qrnctl::kExitOk) << script.err;
  EXPECT_EQ(script.out, "> Hello\n< OK|Hello\n> QuarnClientDriverVersion\n< 1.5.0\n");
  // A response other than the script expects is named; the run fails so.
  const Outcome unexpected = Qrnctl({}, "Hello\n< OK|Hell\nConnect\n< OK|true\n");
  EXPECT_EQ(unexpected.code, qrnctl::kExitUnexpected);
  EXPECT_EQ(unexpected.err,
            "qrnctl: \"Hello\" answered \"OK|Hello\", where the script expects \"OK|Hell\"\n");

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
  EXPECT_EQ(Qrnctl({"--json"}).code, qrnctl::kExitUsage);
  EXPECT_NE(Qrnctl({"--help"}).out.find("Exit codes:"), std::string::npos);
  EXPECT_EQ(Qrnctl({"--version"}).out, "qrnctl " VDQRN_VERSION "\n");
}

}  // namespace
}  // namespace qrnclient_test
