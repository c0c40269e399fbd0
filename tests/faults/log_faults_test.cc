// The diagnostic log cannot be written: its directory is missing, is a plain
// file, or the log's file name is taken by a directory, or (POSIX) by a link
// or a file that another user planted in a shared folder. The system takes
// only part of a write, or refuses it. The driver answers every command
// exactly as it does with a log, in both modes, and writes nothing where it
// must not.
#include <filesystem>
#include <fstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "module_test.h"
#include "exchanges.h"
#include "in_process_channel.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

namespace fs = std::filesystem;

enum class LogPlace {
  kWritable,
  kMissingDirectory,
  kDirectoryIsAFile,
  kLogNameIsADirectory,
  // POSIX: what another local user can plant at the log's fixed name.
  kSymbolicLinkToAFile,  // to one of our user's files
  kHardLinkToAFile,      // the same through a second name
  kForeignFile,          // a file of another user's (needs root to make)
};

// A file of our user's that a planted link points at; it must stay as it is.
const char kVictimText[] = "the user's own file";

struct LogCase {
  LogPlace place;
  std::uint16_t version;
};

std::string CaseName(const ::testing::TestParamInfo<LogCase>& info) {
  const char* place = "";
  switch (info.param.place) {
    case LogPlace::kWritable: place = "Writable"; break;
    case LogPlace::kMissingDirectory: place = "MissingDirectory"; break;
    case LogPlace::kDirectoryIsAFile: place = "DirectoryIsAFile"; break;
    case LogPlace::kLogNameIsADirectory: place = "LogNameIsADirectory"; break;
    case LogPlace::kSymbolicLinkToAFile: place = "SymbolicLinkToAFile"; break;
    case LogPlace::kHardLinkToAFile: place = "HardLinkToAFile"; break;
    case LogPlace::kForeignFile: place = "ForeignFile"; break;
  }
  return std::string(place) + (info.param.version != 0 ? "HighPerformance" : "Normal");
}

class LogPlaces : public ::testing::TestWithParam<LogCase> {
 protected:
  // Prepares the temporary directory the module is given, faulty as the case asks.
  std::string PrepareTempDirectory() {
    const fs::path base = directory_.Path();
    switch (GetParam().place) {
      case LogPlace::kWritable:
        return base.string();
      case LogPlace::kMissingDirectory:
        return (base / "missing" / "deeper").string();
      case LogPlace::kDirectoryIsAFile: {
        std::ofstream(base / "plain-file") << "not a directory";
        return (base / "plain-file").string();
      }
      case LogPlace::kLogNameIsADirectory:
        fs::create_directory(engine_sim::ModuleLogPath(base.string()));
        return base.string();
      case LogPlace::kSymbolicLinkToAFile:
        std::ofstream(base / "victim") << kVictimText;
        fs::create_symlink(base / "victim", engine_sim::ModuleLogPath(base.string()));
        return base.string();
      case LogPlace::kHardLinkToAFile:
        std::ofstream(base / "victim") << kVictimText;
        fs::create_hard_link(base / "victim", engine_sim::ModuleLogPath(base.string()));
        return base.string();
      case LogPlace::kForeignFile:
        std::ofstream(engine_sim::ModuleLogPath(base.string())) << kVictimText;
        GiveToAnotherUser(engine_sim::ModuleLogPath(base.string()));
        return base.string();
    }
    return base.string();
  }

  static void GiveToAnotherUser(const std::string& path) {
#if defined(_WIN32)
    (void)path;
#else
    // Only root can give a file away; the test runs as root under the test command.
    ASSERT_EQ(geteuid(), 0u) << "making a file of another user's needs root";
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
#endif
  }

  TestDirectory directory_;
};

INSTANTIATE_TEST_SUITE_P(
    Faults, LogPlaces,
    ::testing::Values(LogCase{LogPlace::kWritable, 0}, LogCase{LogPlace::kWritable, 1},
                      LogCase{LogPlace::kMissingDirectory, 0},
                      LogCase{LogPlace::kMissingDirectory, 1},
                      LogCase{LogPlace::kDirectoryIsAFile, 0},
                      LogCase{LogPlace::kDirectoryIsAFile, 1},
                      LogCase{LogPlace::kLogNameIsADirectory, 0},
                      LogCase{LogPlace::kLogNameIsADirectory, 1}),
    CaseName);

#if !defined(_WIN32)
INSTANTIATE_TEST_SUITE_P(
    Planted, LogPlaces,
    ::testing::Values(LogCase{LogPlace::kSymbolicLinkToAFile, 0},
                      LogCase{LogPlace::kSymbolicLinkToAFile, 1},
                      LogCase{LogPlace::kHardLinkToAFile, 0},
                      LogCase{LogPlace::kHardLinkToAFile, 1},
                      LogCase{LogPlace::kForeignFile, 0}, LogCase{LogPlace::kForeignFile, 1}),
    CaseName);
#endif

TEST_P(LogPlaces, EveryCommandIsAnsweredAsWithALog) {
  const std::string temp = PrepareTempDirectory();
  engine_sim::SetModuleTempDirectory(temp);
  {
    engine_sim::Engine engine;
    ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();
    engine.SetWdVersion(GetParam().version);
    ASSERT_EQ(engine.Open(), 0);
    for (const Exchange& exchange : EveryFamilyWithSimspectro()) {
      engine.ClearSent();
      ASSERT_TRUE(engine.Write(engine_sim::kDataChannelName, exchange.command));
      engine.Poll();
      ASSERT_EQ(engine.Sent().size(), 1u) << exchange.command;
      EXPECT_EQ(engine.Sent()[0].bytes, exchange.response) << exchange.command;
    }
    EXPECT_EQ(engine.Poll(), 21);
    // The information procedures answer as well.
    EXPECT_EQ(engine.Info(48, "VDQRN").status, 0);
    EXPECT_EQ(engine.QueryInformation(0, 292).status, 0);
    EXPECT_EQ(engine.Close(), 0);
    EXPECT_EQ(engine.Unload(), 0);
    EXPECT_TRUE(engine.Violations().empty());
  }

  const fs::path base = directory_.Path();
  switch (GetParam().place) {
    case LogPlace::kWritable:
      EXPECT_GT(engine_sim::ReadModuleLogLines(temp).size(), EveryFamilyWithSimspectro().size());
      break;
    case LogPlace::kMissingDirectory:
      EXPECT_FALSE(fs::exists(base / "missing"));
      break;
    case LogPlace::kDirectoryIsAFile:
      EXPECT_TRUE(fs::is_regular_file(base / "plain-file"));
      EXPECT_EQ(fs::file_size(base / "plain-file"), 15u);
      break;
    case LogPlace::kLogNameIsADirectory:
      EXPECT_TRUE(fs::is_directory(engine_sim::ModuleLogPath(temp)));
      EXPECT_TRUE(fs::is_empty(engine_sim::ModuleLogPath(temp)));
      break;
    case LogPlace::kSymbolicLinkToAFile:
    case LogPlace::kHardLinkToAFile:
    case LogPlace::kForeignFile:
      // Neither emptied nor written to: read through the planted name.
      EXPECT_EQ(engine_sim::ReadModuleLog(temp), kVictimText);
      break;
  }
}

// A log with the system's own file calls: the log can be deleted while the
// session runs (Windows shares it for deleting), and the next line creates it
// again, starting with that line.
TEST(LogFile, DeletedWhileTheSessionRunsComesBackWithTheNextLine) {
  TestDirectory directory;
  engine_sim::SetModuleTempDirectory(directory.Path());
  engine_sim::Engine engine;
  ASSERT_TRUE(engine.LoadModule(ModulePath())) << engine.LastError();
  ASSERT_EQ(engine.Open(), 0);
  const std::string log = engine_sim::ModuleLogPath(directory.Path());
  ASSERT_TRUE(fs::remove(log));
  ASSERT_TRUE(engine.Write(engine_sim::kDataChannelName, "Hello"));
  EXPECT_EQ(engine.Poll(), 0);
  const std::vector<std::string> lines = engine_sim::ReadModuleLogLines(directory.Path());
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(IsTimestamped(lines.front(), "ICA: Data arrival")) << lines.front();
  EXPECT_EQ(lines.back(), "Clear response buffer");
  // Removed again while the module still holds nothing open.
  ASSERT_TRUE(fs::remove(log));
  EXPECT_EQ(engine.Close(), 0);
  EXPECT_TRUE(fs::exists(log));
  engine.Unload();
}

// The system takes a few bytes per write, or refuses every write: the lines
// that do reach the file are whole and the same bytes as without the limit,
// and every command is answered as with a log. Runs the channel code in this
// process, where the platform's write limit applies.
class LogWrites : public ::testing::Test {
 protected:
  struct Run {
    std::vector<std::string> answers;
    std::string log;
  };

  static platform::LocalTime FixedClock() { return platform::LocalTime{2026, 12, 7, 4, 50, 45}; }

  static Run RunSession(long writeLimit) {
    TestDirectory directory;
    engine_sim::Engine engine;
    platform::SetClockForTesting(&FixedClock);
    platform::SetLogWriteLimitForTesting(writeLimit);
    Run run;
    if (AttachInProcess(engine, directory.Path()) && engine.Open() == 0) {
      for (const Exchange& exchange : EveryFamilyWithSimspectro()) {
        engine.ClearSent();
        engine.Write(engine_sim::kDataChannelName, exchange.command);
        engine.Poll();
        run.answers.push_back(engine.Sent().size() == 1 ? engine.Sent()[0].bytes : "(none)");
      }
    }
    DetachInProcess(engine);
    platform::SetLogWriteLimitForTesting(-1);
    platform::SetClockForTesting(nullptr);
    run.log = engine_sim::ReadModuleLog(directory.Path());
    return run;
  }

  static std::vector<std::string> ExpectedAnswers() {
    std::vector<std::string> answers;
    for (const Exchange& exchange : EveryFamilyWithSimspectro()) answers.push_back(exchange.response);
    return answers;
  }
};

TEST_F(LogWrites, ShortWritesAreContinuedUntilEachLineIsWhole) {
  const Run whole = RunSession(-1);
  const Run piecemeal = RunSession(3);
  EXPECT_EQ(whole.answers, ExpectedAnswers());
  EXPECT_EQ(piecemeal.answers, ExpectedAnswers());
  EXPECT_GT(whole.log.size(), 1000u);
  EXPECT_EQ(piecemeal.log, whole.log);
}

TEST_F(LogWrites, RefusedWritesLeaveTheAnswersAndAnEmptyLog) {
  const Run refused = RunSession(0);
  EXPECT_EQ(refused.answers, ExpectedAnswers());
  EXPECT_EQ(refused.log, "");
}

}  // namespace

}  // namespace vdqrn
