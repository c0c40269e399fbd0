// The whole tool in process: the built module and simspectro from the
// binaries' folder (the working directory), the module's temporary folder in
// a folder of the test's own.
#include "tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine_sim.h"
#include "exit_codes.h"
#include "script.h"
#include "test_directory.h"

namespace vdqrn {

namespace fs = std::filesystem;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct ToolRun {
  int code;
  std::string out;
  std::string err;
  std::vector<std::string> lines;  // of out
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string ExampleSession() { return std::string(VDQRN_SOURCE_DIR) + "/examples/session.txt"; }

// The lines that follow the first one equal to `line`.
std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& line) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return std::vector<std::string>(lines.begin() + i + 1, lines.end());
  }
  return {};
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path();
    engine_sim::SetModuleTempDirectory(temp_.Path());
  }
  void TearDown() override { engine_sim::SetModuleTempDirectory(base_.string()); }

  static ToolRun RunWith(const std::vector<std::string>& arguments, const std::string& input = "",
                     bool terminal = false) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    ToolRun run;
    run.code = engine_sim_cli::RunTool(arguments, in, out, err, terminal);
    run.out = out.str();
    run.err = err.str();
    run.lines = SplitLines(run.out);
    return run;
  }

  fs::path base_;
  TestDirectory temp_;
};

TEST_F(Tool, ExampleSessionGetsEveryResponse) {
  const ToolRun run = RunWith({"--script", ExampleSession()});
  EXPECT_EQ(run.code, engine_sim_cli::kExitOk);
  EXPECT_EQ(run.err, "");

  // Every command line of the script is echoed and followed by its response.
  std::ifstream script(ExampleSession());
  std::vector<std::string> commands;
  for (std::string line; std::getline(script, line);) {
    if (conversation_text::IsCommandLine(line)) commands.push_back(line);
  }
  ASSERT_GE(commands.size(), 20u);
  for (const std::string& command : commands) {
    const std::vector<std::string> rest = After(run.lines, "> " + command);
    ASSERT_FALSE(rest.empty()) << command << "\n" << run.out;
    EXPECT_THAT(rest[0], StartsWith("< ")) << command;
  }

  EXPECT_THAT(After(run.lines, "> Hello"), ::testing::Contains("< OK|Hello"));
  EXPECT_EQ(After(run.lines, "> QuarnClientDriverVersion")[0], "< 1.5.0");
  EXPECT_EQ(After(run.lines, "> Init|simspectro|")[0], "< OK");
  EXPECT_EQ(After(run.lines, "> Calibrate")[0], "< OK|true");
  EXPECT_EQ(After(run.lines, "> SetOption|Aperture|SAV|")[1], "> GetOption|Aperture|");
  EXPECT_EQ(After(run.lines, "> SetOption|Aperture|SAV|")[2], "< OK|SAV");
  EXPECT_EQ(After(run.lines, "> SetOption|Aperture|XYZ|")[0], "< OK|false");
  EXPECT_EQ(After(run.lines, "> GetLastErrorString")[0], "< OK|Invalid value for setting");
  EXPECT_EQ(After(run.lines, "> Disconnect")[0], "< OK|true");

  // The spectrum with its chart.
  const std::vector<std::string> spectrum = After(run.lines, "> GetSpectralDataAll|1|");
  ASSERT_GE(spectrum.size(), 15u);
  EXPECT_THAT(spectrum[0], StartsWith("< OK|0.0"));
  EXPECT_THAT(spectrum[1], HasSubstr(" |"));
  EXPECT_THAT(spectrum[14], HasSubstr("400      500       600       700 nm"));
  EXPECT_THAT(spectrum[15], StartsWith("> "));
}

TEST_F(Tool, LinesOfTheInputAreCommandsWithoutTheirLineEnds) {
  const ToolRun run = RunWith({}, "Hello\r\n# Init|simspectro|\n\n \t\nQuarnClientDriverVersion\r\n"
                              " Hello\nGetSpectralDataAll|1|");
  EXPECT_EQ(run.code, engine_sim_cli::kExitOk) << run.err;
  EXPECT_EQ(run.lines, (std::vector<std::string>{"> Hello", "< OK|Hello",
                                                 "> QuarnClientDriverVersion", "< 1.5.0",
                                                 ">  Hello", "< ERROR|Unknown command \" Hello\"",
                                                 "> GetSpectralDataAll|1|",
                                                 "< ERROR|No driver loaded"}));
  EXPECT_EQ(run.err, "");
}

// "< RESPONSE" lines state what the script expects of the command before:
// every response other than its expectation is named, and the exit code
// says so once every command was answered.
TEST_F(Tool, ResponsesOtherThanTheScriptExpectsAreNamedAndFailTheRun) {
  struct Case {
    std::string script;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {"Hello\n< OK|Hello\nQuarnClientDriverVersion\n< 1.5...\n", engine_sim_cli::kExitOk, ""},
      {"Hello\n< OK|Hell\n", engine_sim_cli::kExitUnexpected,
       "engine_sim: \"Hello\" answered \"OK|Hello\", where the script expects \"OK|Hell\"\n"},
      {"< OK\nHello\n", engine_sim_cli::kExitUnexpected,
       "engine_sim: \"< OK\" follows no command\n"},
      // The library the example loads is not in the current folder here.
      {"Init|nosuchlibrary|\n< OK\nConnect\n< OK|true\n", engine_sim_cli::kExitUnexpected,
       "engine_sim: \"Init|nosuchlibrary|\" answered \"ERROR|Error loading driver "
       "(\"nosuchlibrary\") on client\", where the script expects \"OK\"\n"
       "engine_sim: \"Connect\" answered \"ERROR|No driver loaded\", where the script expects "
       "\"OK|true\"\n"},
  };
  for (const Case& test : cases) {
    const ToolRun run = RunWith({}, test.script);
    EXPECT_EQ(run.code, test.code) << test.script;
    EXPECT_EQ(run.err, test.err) << test.script;
    // Expectation lines are never sent.
    EXPECT_THAT(run.out, Not(HasSubstr("> <"))) << test.script;
  }
}

TEST_F(Tool, TerminalInputGetsAPromptInsteadOfAnEcho) {
  const ToolRun run = RunWith({}, "Hello\n", true);
  EXPECT_EQ(run.code, engine_sim_cli::kExitOk);
  EXPECT_EQ(run.out, "> < OK|Hello\n> \n");

  // A script is not typed: echoed, no prompt.
  const ToolRun script = RunWith({"--script", ExampleSession()}, "", true);
  EXPECT_EQ(script.lines.at(0), "> Hello");
}

TEST_F(Tool, HighPerformanceModeSendsDirectly) {
  const ToolRun normal = RunWith({"--log"}, "Hello\n");
#if defined(_WIN32)
  const ToolRun hpc = RunWith({"--hpc", "--log"}, "Hello\n");
  EXPECT_THAT(normal.lines, ::testing::Contains("HPC: 0"));
#else
  // The module a Linux client loads never asks for the version; its build
  // for the Windows engine does.
  EXPECT_THAT(normal.lines, ::testing::Not(::testing::Contains("Check WinStationDriver version")));
  const ToolRun hpc =
      RunWith({"--hpc", "--log", "--module", "./vdqrn-windows-engine.so"}, "Hello\n");
#endif
  for (const ToolRun* run : {&normal, &hpc}) {
    EXPECT_EQ(run->code, engine_sim_cli::kExitOk);
    EXPECT_EQ(run->lines.at(1), "< OK|Hello");
    EXPECT_THAT(run->lines, ::testing::Contains("Response sent (\"OK|Hello\")"));
  }
  EXPECT_THAT(normal.lines, ::testing::Contains("  Post response for sending"));
  EXPECT_THAT(hpc.lines, ::testing::Contains("HPC: 1"));
  EXPECT_THAT(hpc.lines, ::testing::Contains("  Send HPC"));
}

TEST_F(Tool, CommandsGoToTheChosenChannel) {
  const ToolRun command = RunWith({"--log"}, "Hello\n");
  const ToolRun data = RunWith({"--log", "--channel", "data"}, "Hello\n");
  EXPECT_EQ(data.code, engine_sim_cli::kExitOk);
  EXPECT_EQ(data.lines.at(1), "< OK|Hello");
  // The engine numbers the command channel 5 and the data channel 6.
  EXPECT_THAT(command.lines, ::testing::Contains("Data (channel: 5, size: 5): \"Hello\""));
  EXPECT_THAT(data.lines, ::testing::Contains("Data (channel: 6, size: 5): \"Hello\""));
}

TEST_F(Tool, LogIsReadFromAFolderThatIsGoneAfterwards) {
  const ToolRun run = RunWith({"--log"}, "Hello\n");
  const std::vector<std::string> log = After(run.lines, "--- driver log (QuarnClientDriver.log) ---");
  ASSERT_FALSE(log.empty()) << run.out;
  EXPECT_THAT(log.front(), HasSubstr("VirtualChannelICA ("));
  EXPECT_THAT(log.back(), HasSubstr("~VirtualChannelICA"));
  // The temporary folder is the test's again, and the tool left nothing in it.
  fs::path temporary = fs::temp_directory_path();
  if (!temporary.has_filename()) temporary = temporary.parent_path();  // "...\" on Windows
  EXPECT_EQ(temporary, fs::path(temp_.Path()));
  EXPECT_TRUE(fs::is_empty(temp_.Path()));

  // Without --log there is no log in the output.
  EXPECT_EQ(RunWith({}, "Hello\n").out, "> Hello\n< OK|Hello\n");
}

TEST_F(Tool, HelpDescribesTheOptionsAndExitCodes) {
  const ToolRun run = RunWith({"--help"});
  EXPECT_EQ(run.code, engine_sim_cli::kExitOk);
  EXPECT_EQ(run.err, "");
  for (const char* text : {"--module PATH", "--script FILE", "--channel NAME", "--hpc", "--log",
                           "--help", "Exit codes:", "  6  ", "--client DIR", "--report FILE",
                           " 13  ", " 21  ", " 22  ", "--version"}) {
    EXPECT_THAT(run.out, HasSubstr(text));
  }
  const ToolRun version = RunWith({"--version"});
  EXPECT_EQ(version.code, engine_sim_cli::kExitOk);
  EXPECT_THAT(version.out, ::testing::StartsWith("engine_sim " VDQRN_VERSION " ("));
}

struct BadUse {
  std::vector<std::string> arguments;
  int code;
  std::string error;  // the start of the one line on err
};

TEST_F(Tool, BadUseGivesOneLineAndItsExitCode) {
  const std::string missingModule = (fs::current_path() / "missing-module.so").string();
  const std::string missingScript = (fs::current_path() / "missing-script.txt").string();
  // A library without a Load export.
  const std::string noLoad =
      (fs::current_path() / (fs::exists("simspectro.dll") ? "simspectro.dll" : "simspectro.so"))
          .string();
  const BadUse cases[] = {
      {{"--module", missingModule}, engine_sim_cli::kExitModuleLoad,
       "engine_sim: cannot load module \"" + missingModule + "\": no such file"},
      {{"--module", noLoad}, engine_sim_cli::kExitModuleLoad,
       "engine_sim: cannot load module \"" + noLoad + "\": " + noLoad + " has no export Load"},
      {{"--script", missingScript}, engine_sim_cli::kExitScript,
       "engine_sim: cannot read script \"" + missingScript + "\": no such file"},
      {{"--script", fs::current_path().string()}, engine_sim_cli::kExitScript,
       "engine_sim: cannot read script \"" + fs::current_path().string() + "\": it is a folder"},
      {{"--bogus"}, engine_sim_cli::kExitUsage,
       "engine_sim: unknown option \"--bogus\" (see engine_sim --help)"},
      {{"--script"}, engine_sim_cli::kExitUsage, "engine_sim: option --script needs a value"},
      {{"--module"}, engine_sim_cli::kExitUsage, "engine_sim: option --module needs a value"},
      {{"--channel", "both"}, engine_sim_cli::kExitUsage, "engine_sim: option --channel takes"},
  };
  for (const BadUse& use : cases) {
    const ToolRun run = RunWith(use.arguments, "Hello\n");
    EXPECT_EQ(run.code, use.code) << run.err;
    EXPECT_THAT(run.err, StartsWith(use.error));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "") << run.err;
  }
}

}  // namespace

}  // namespace vdqrn
