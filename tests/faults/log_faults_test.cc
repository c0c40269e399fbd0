// The diagnostic log cannot be written: its directory is missing, is a plain
// file, or the log's file name is taken by a directory, or (POSIX) by a link
// or a file that another user planted in a shared folder. The system takes
// only part of a write, or refuses it. The driver answers every command
// exactly as it does with a log, in both modes, and writes nothing where it
// must not.
#include <filesystem>
#include <fstream>
#include <sstream>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "module_test.h"
#include "exchanges.h"
#include "in_process_channel.h"
#include "diagnostics/log.h"
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

  // space: the bytes the file system takes in all before it is full (-1: no
  // limit); it has room again after `freedAfter` commands.
  static Run RunSession(long writeLimit, long space = -1, std::size_t freedAfter = 0) {
    TestDirectory directory;
    engine_sim::Engine engine;
    platform::SetClockForTesting(&FixedClock);
    platform::SetLogWriteLimitForTesting(writeLimit);
    Run run;
    if (AttachInProcess(engine, directory.Path()) && engine.Open() == 0) {
      platform::SetLogSpaceForTesting(space);
      std::size_t commands = 0;
      for (const Exchange& exchange : EveryFamilyWithSimspectro()) {
        if (commands++ == freedAfter) platform::SetLogSpaceForTesting(-1);
        engine.ClearSent();
        engine.Write(engine_sim::kDataChannelName, exchange.command);
        engine.Poll();
        run.answers.push_back(engine.Sent().size() == 1 ? engine.Sent()[0].bytes : "(none)");
      }
    }
    DetachInProcess(engine);
    platform::SetLogSpaceForTesting(-1);
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  // Windows ends lines with "\r\n"; a line cut right after its "\r" ends
  // with one more.
  for (std::string line; std::getline(stream, line);) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The file system fills up in the middle of a line (at every few bytes of the
// session's log) and has room again later: the cut line is ended before the
// next one, so every line in the file is a whole line of the log or the
// start of one, never two lines run together.
TEST_F(LogWrites, ALineCutByAFullFileSystemIsNeverJoinedToTheNext) {
  const Run whole = RunSession(-1);
  const std::vector<std::string> expected = Lines(whole.log);
  const std::size_t commands = ExpectedAnswers().size();
  for (long space = 7; space < static_cast<long>(whole.log.size()) / 2; space += 97) {
    const Run cut = RunSession(-1, space, commands / 2);
    EXPECT_EQ(cut.answers, ExpectedAnswers());
    std::size_t cutLines = 0;
    for (const std::string& line : Lines(cut.log)) {
      bool found = false;
      bool whole_line = false;
      for (const std::string& candidate : expected) {
        if (candidate.compare(0, line.size(), line) == 0) {
          found = true;
          whole_line = whole_line || candidate.size() == line.size();
        }
      }
      EXPECT_TRUE(found) << "space " << space << ": a line that is no line of the log:\n" << line;
      if (!whole_line) ++cutLines;
    }
    EXPECT_LE(cutLines, 1u) << "space " << space;
    EXPECT_NE(cut.log.find(expected.back()), std::string::npos) << "nothing after the room came";
  }
}

#if !defined(_WIN32)
// Two client processes, one log folder (one user, two sessions): lines far
// longer than the line buffer, written at the same time, never mix; each
// line is one write to the file opened for appending.
TEST_F(LogWrites, TwoClientsInOneFolderNeverMixTheirLines) {
  TestDirectory directory;
  const std::size_t length = 3 * diagnostics::kLogLineBuffer;
  // Both open their log (each process's first open empties it) before
  // either writes its long lines.
  int ready[2];
  int go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      engine_sim::Engine engine;
      if (!AttachInProcess(engine, directory.Path()) || engine.Open() != 0) _exit(90);
      char byte = 'r';
      if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(91);
      const std::string command = "Hello|" + std::string(length, child == 0 ? 'a' : 'b');
      for (int i = 0; i < 400; ++i) {
        engine.Write(engine_sim::kDataChannelName, command);
        engine.Poll();
      }
      DetachInProcess(engine);
      _exit(0);
    }
  }
  char bytes[2];
  for (std::size_t got = 0; got < 2;) {
    const ssize_t count = read(ready[0], bytes + got, 2 - got);
    ASSERT_GT(count, 0);
    got += static_cast<std::size_t>(count);
  }
  ASSERT_EQ(write(go[1], "gg", 2), 2);
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::size_t longLines = 0;
  for (const std::string& line : Lines(engine_sim::ReadModuleLog(directory.Path()))) {
    const std::size_t a = line.find("aaaa");
    const std::size_t b = line.find("bbbb");
    if (a == std::string::npos && b == std::string::npos) continue;
    ++longLines;
    EXPECT_TRUE(a == std::string::npos || b == std::string::npos) << "two clients' lines in one";
    const std::size_t at = a != std::string::npos ? a : b;
    const std::size_t stop = line.find_first_not_of(line[at], at);
    EXPECT_EQ((stop == std::string::npos ? line.size() : stop) - at, length)
        << "a line cut or mixed: " << line.substr(0, 120) << "...";
  }
  EXPECT_EQ(longLines, 1600u);  // its arrival and its execution for each command, none lost
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}
#endif

TEST_F(LogWrites, RefusedWritesLeaveTheAnswersAndAnEmptyLog) {
  const Run refused = RunSession(0);
  EXPECT_EQ(refused.answers, ExpectedAnswers());
  EXPECT_EQ(refused.log, "");
}

}  // namespace

}  // namespace vdqrn
