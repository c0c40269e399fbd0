// The tool's check mode: its exit status alone tells how far an installation
// works. The built module, simspectro and the recording library from the
// binaries' folder (the working directory).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "check.h"
#include "engine_sim.h"
#include "exit_codes.h"
#include "platform/platform.h"
#include "process_info.h"
#include "recording_controls.h"
#include "test_directory.h"
#include "tool.h"

namespace vdqrn {

namespace fs = std::filesystem;

namespace {

using ::testing::HasSubstr;

struct CheckRun {
  int code;
  std::string out;
  std::string err;
};

class Check : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path();
    engine_sim::SetModuleTempDirectory(temp_.Path());
  }
  void TearDown() override { engine_sim::SetModuleTempDirectory(base_.string()); }

  // The tool checking the module beside it alone, not a client's installation.
  static CheckRun RunWith(std::vector<std::string> arguments) {
    if (arguments.size() > 0 && arguments[0] == "--check" &&
        std::find(arguments.begin(), arguments.end(), "--module") == arguments.end()) {
      std::string problem;
      arguments.insert(arguments.begin() + 1,
                       {"--module", engine_sim_cli::ModuleBesideExecutable(&problem)});
    }
    std::istringstream in("Hello\n");
    std::ostringstream out;
    std::ostringstream err;
    CheckRun run;
    run.code = engine_sim_cli::RunTool(arguments, in, out, err, false);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  fs::path base_;
  TestDirectory temp_;
};

TEST_F(Check, AWorkingModuleAndLibraryExitWithZero) {
  const CheckRun module = RunWith({"--check"});
  EXPECT_EQ(module.code, engine_sim_cli::kExitOk) << module.out << module.err;
  EXPECT_THAT(module.out, HasSubstr("channel QrnCmd1 (5) opened"));
  EXPECT_THAT(module.out, HasSubstr("channel QrnDta1 (6) opened"));
  EXPECT_THAT(module.out, HasSubstr("the module's version: " VDQRN_VERSION "\n"));
  EXPECT_THAT(module.out, ::testing::Not(HasSubstr("Hello")));  // no conversation

  const CheckRun library = RunWith({"--check", "--library", "simspectro", "--log"});
  EXPECT_EQ(library.code, engine_sim_cli::kExitOk) << library.out << library.err;
  EXPECT_THAT(library.out, HasSubstr("library \"simspectro\" connected"));
  EXPECT_THAT(library.out, HasSubstr("Command Disconnect"));  // from the log

  // A bare file name is the one in the current folder, not one the loader
  // searches its own folders for.
  std::string problem;
  const std::string bare =
      fs::path(engine_sim_cli::ModuleBesideExecutable(&problem)).filename().string();
  const CheckRun named = RunWith({"--check", "--module", bare});
  EXPECT_EQ(named.code, engine_sim_cli::kExitOk) << named.out << named.err;
}

TEST_F(Check, EachFailureHasItsOwnExitStatus) {
  EXPECT_EQ(RunWith({"--check", "--module", temp_.Path() + "/missing.dll"}).code,
            engine_sim_cli::kExitModuleLoad);

  // Each says why, from the driver's log, without --log.
  const CheckRun missing = RunWith({"--check", "--library", "nosuchlibrary"});
  EXPECT_EQ(missing.code, engine_sim_cli::kExitLibraryLoad);
  EXPECT_THAT(missing.out, HasSubstr("library \"nosuchlibrary\" not loaded: ERROR|"));
  EXPECT_THAT(missing.out, HasSubstr("\ncheck: Driver library \".")) << missing.out;
  const std::string missingFile = "nosuchlibrary" + std::string(vdqrn::platform::kLibrarySuffix);
  EXPECT_THAT(missing.out, HasSubstr(missingFile + "\" not found: no such file in "));
  const CheckRun incomplete = RunWith({"--check", "--library", "missingexport"});
  EXPECT_EQ(incomplete.code, engine_sim_cli::kExitLibraryLoad);
  EXPECT_THAT(incomplete.out,
              HasSubstr("\" not loaded: it lacks the entry point \"CalibrateStep\"\n"));

  RecordingLibrary recording;
  ASSERT_TRUE(recording.IsLoaded());
  recording.SetBool(false);
  const CheckRun refused = RunWith({"--check", "--library", "recordingspectro"});
  EXPECT_EQ(refused.code, engine_sim_cli::kExitLibraryConnect) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("not connected: OK|false"));
  EXPECT_THAT(recording.Journal(), HasSubstr("Disconnect("));
}

TEST_F(Check, AChannelThatDoesNotOpenFailsTheCheck) {
  for (const char* channel : {engine_sim::kCommandChannelName, engine_sim::kDataChannelName}) {
    engine_sim::Engine engine;
#if !defined(_WIN32)
    engine.SetLinuxEngine(true);
#endif
    engine.FailChannelOpen(channel, 1);
    std::string problem;
    ASSERT_TRUE(engine.LoadModule(engine_sim_cli::ModuleBesideExecutable(&problem)))
        << engine.LastError() << problem;
    engine.Open();
    std::ostringstream out;
    EXPECT_EQ(engine_sim_cli::CheckOpenedModule(engine, "", out), engine_sim_cli::kExitChannels)
        << channel;
    EXPECT_THAT(out.str(), HasSubstr(std::string("channel ") + channel + " not opened"));
    engine.Close();
  }
}

TEST(CheckReason, IsTheLineAfterTheLastLoadError) {
  const std::string log =
      "01.02.2026 - 03:04:05  Loading Driver error\n"
      "01.02.2026 - 03:04:05  Driver library \"a\" not found: first\n"
      "Virtual channel - Pending respone\n"
      "01.02.2026 - 03:04:06  Loading Driver error\n"
      "01.02.2026 - 03:04:06  Driver library \"b\" not loaded: second\n";
  EXPECT_EQ(engine_sim_cli::LoadFailureFromLog(log), "Driver library \"b\" not loaded: second");
  EXPECT_EQ(engine_sim_cli::LoadFailureFromLog("01.02.2026 - 03:04:06  Loading Driver error\n"),
            "");
  EXPECT_EQ(engine_sim_cli::LoadFailureFromLog("no such line\n"), "");
}

TEST_F(Check, TheOptionsGoTogether) {
  EXPECT_EQ(RunWith({"--library", "simspectro"}).code, engine_sim_cli::kExitUsage);
  EXPECT_EQ(RunWith({"--check", "--script", "x.txt"}).code, engine_sim_cli::kExitUsage);
}

}  // namespace
}  // namespace vdqrn
