// A library whose start-up or clean-up code aborts, crashes, hangs or is
// slow: it is tried in an instrument host first, so that Init is answered,
// the log says why, and nothing of a failing library runs in the client. The
// channel code runs in this process, where the trial's time limit can be
// set; startupspectro does what VDQRN_STARTUP_FAULT says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "engine_sim.h"
#include "environment.h"
#include "in_process_channel.h"
#include "instrument/instrument_host.h"
#include "instrument/library_trial.h"
#include "log_lines.h"
#include "platform/platform.h"
#include "test_directory.h"

namespace vdqrn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

unsigned long OwnProcessId() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

constexpr long kLimitMs = 2000;
const char kFailed[] = "ERROR|Error loading driver (\"startupspectro\") on client";

class LibraryStartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    LibraryTrial::ForgetVerdictsForTesting();
    LibraryTrial::SetLimitForTesting(kLimitMs);
    SetVariable("VDQRN_STARTUP_JOURNAL", journal_.Path() + "/startups");
    ASSERT_TRUE(AttachInProcess(engine_, directory_.Path())) << engine_.LastError();
    ASSERT_EQ(engine_.Open(), 0);
  }
  void TearDown() override {
    DetachInProcess(engine_);
    SetVariable("VDQRN_STARTUP_FAULT", "");
    SetVariable("VDQRN_STARTUP_JOURNAL", "");
    LibraryTrial::SetLimitForTesting(0);
    LibraryTrial::ForgetVerdictsForTesting();
    InstrumentHost::SetHostDirectoryForTesting("");
  }

  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(engine_sim::kDataChannelName, command)) return "(no write hook)";
    engine_.Poll();
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "(no answer)";
  }
  std::vector<std::string> Lines() const {
    return engine_sim::ReadModuleLogLines(directory_.Path());
  }
  // The last Init's time-stamped lines: from "Loading driver" to the
  // answer's first line, which has no stamp.
  std::vector<std::string> LastLoad() const {
    const std::vector<std::string> lines = Lines();
    for (std::size_t at = lines.size(); at-- > 0;) {
      if (lines[at].find("  Loading driver \"") == std::string::npos) continue;
      std::vector<std::string> load;
      for (std::size_t next = at; next < lines.size() && lines[next].size() > 21 &&
                                  lines[next].compare(10, 3, " - ") == 0;
           ++next) {
        load.push_back(lines[next]);
      }
      return load;
    }
    return {};
  }
  // Start-ups of the library in processes other than this one: trials.
  int Trials() const {
    std::ifstream file(journal_.Path() + "/startups");
    int trials = 0;
    for (unsigned long id = 0; file >> id;) trials += id != OwnProcessId() ? 1 : 0;
    return trials;
  }
  static std::string LibraryFile() {
    const std::string path =
        std::string(platform::kLocalLibraryPrefix) + "startupspectro" + platform::kLibrarySuffix;
    return platform::LocateLibrary(path.c_str());
  }

  TestDirectory directory_;
  TestDirectory journal_;
  engine_sim::Engine engine_;
};

struct StartUpCase {
  const char* fault;
  // The reason after "Driver library \"...\" not loaded: "; null: it loads.
  const char* reason;
};

class StartUpFaults : public LibraryStartUp, public ::testing::WithParamInterface<StartUpCase> {};

const StartUpCase kStartUpCases[] = {
    {"", nullptr},
    {"slow=300", nullptr},
    {"abort", "its start-up code aborted"},
#if defined(_WIN32)
    // The loader catches an access violation in DllMain and says it
    // failed, as it does for FALSE.
    {"crash", ""},
    {"fail", ""},
#else
    // "ended the instrument host (signal 11)"; in a sanitizer's build, whose
    // handler reports the crash and aborts, "aborted"
    {"crash", "its start-up code "},
#endif
    {"hang", "did not finish loading within 2 s"},
    {"cleanup-abort", "its clean-up code aborted"},
    {"cleanup-hang", "did not finish unloading within 2 s"},
};

INSTANTIATE_TEST_SUITE_P(Faults, StartUpFaults, ::testing::ValuesIn(kStartUpCases),
                         [](const ::testing::TestParamInfo<StartUpCase>& each) {
                           std::string name = *each.param.fault != '\0' ? each.param.fault : "none";
                           for (char& c : name) {
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           }
                           return name;
                         });

TEST_P(StartUpFaults, InitIsAnsweredAndOnlyALibraryThatCameThroughLoadsHere) {
  SetVariable("VDQRN_STARTUP_FAULT", GetParam().fault);
  const bool loads = GetParam().reason == nullptr;
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), loads ? "OK" : kFailed);
  EXPECT_EQ(Trials(), 1);
  const std::vector<std::string> lines = LastLoad();
  if (loads) {
    // A trial that came through says nothing.
    EXPECT_TRUE(LinesAre(lines, {Stamped("Loading driver \"startupspectro\""),
                                 Stamped("Loading Driver success")}))
        << Quoted(lines);
    EXPECT_EQ(RoundTrip("Connect"), "OK|true");
    return;
  }
  ASSERT_EQ(lines.size(), 3u) << Quoted(lines);
  EXPECT_TRUE(IsTimestamped(lines[1], "Loading Driver error"));
  EXPECT_THAT(lines[2], HasSubstr("  Driver library \"" + LibraryFile() + "\" not loaded: " +
                                  GetParam().reason));
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  // Nothing of it ever started here.
  std::ifstream file(journal_.Path() + "/startups");
  for (unsigned long id = 0; file >> id;) EXPECT_NE(id, OwnProcessId());
}

// The verdict is kept while the file is unchanged: the same file is not
// tried twice, a changed one is tried again.
TEST_F(LibraryStartUp, TheVerdictHoldsUntilTheFileChanges) {
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), "OK");
  EXPECT_EQ(RoundTrip("Init|recordingspectro|"), "OK");
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), "OK");
  EXPECT_EQ(Trials(), 1);
  SetVariable("VDQRN_STARTUP_FAULT", "abort");
  EXPECT_EQ(RoundTrip("Init|recordingspectro|"), "OK");  // startupspectro is unloaded
  const fs::path file = fs::u8path(LibraryFile());
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(2));
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), kFailed);
  EXPECT_EQ(Trials(), 2);
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), kFailed);
  EXPECT_EQ(Trials(), 2);
}

// Without a host of its own architecture, the library loads as before
// trials, and the log says it was not tried.
TEST_F(LibraryStartUp, WithoutAHostTheLibraryLoadsUntriedAndTheLogSaysSo) {
  TestDirectory empty;
  InstrumentHost::SetHostDirectoryForTesting(empty.Path() + "/");
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), "OK");
  EXPECT_EQ(Trials(), 0);
  const std::vector<std::string> lines = LastLoad();
  ASSERT_EQ(lines.size(), 3u) << Quoted(lines);
  EXPECT_THAT(lines[1], HasSubstr("  Driver library \"" + LibraryFile() + "\" loads untried: its " +
                                  platform::ArchitectureName(platform::kOwnArchitecture) +
                                  " instrument host cannot start ("));
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
}

#if !defined(_WIN32)
// A trial ended from outside (a user who kills the host) says nothing of
// the library: this Init fails, and the next one tries again.
TEST_F(LibraryStartUp, ATrialEndedFromOutsideIsNotAVerdict) {
  LibraryTrial::SetLimitForTesting(60 * 1000);
  SetVariable("VDQRN_STARTUP_FAULT", "hang");
  std::thread killer([this] {
    for (int wait = 0; wait < 3000 && Trials() == 0; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream file(journal_.Path() + "/startups");
    unsigned long id = 0;
    if (file >> id) kill(static_cast<pid_t>(id), SIGKILL);
  });
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), kFailed);
  killer.join();
  EXPECT_THAT(LastLoad().back(),
              HasSubstr("not loaded: its trial load in an instrument host was ended from outside "
                        "(signal 9)"));
  SetVariable("VDQRN_STARTUP_FAULT", "");
  EXPECT_EQ(RoundTrip("Init|startupspectro|"), "OK");
  EXPECT_EQ(Trials(), 2);
}

// The tool run as a client process of its own, with a temporary folder of
// its own (a suite run in one process may have left TMPDIR naming a folder
// an earlier test removed): `prepare` runs in the child before the tool
// starts; its standard output and wait status.
struct ToolRun {
  std::string output;
  int status = -1;
};
ToolRun RunEngineSim(const std::vector<std::string>& arguments, void (*prepare)()) {
  ToolRun run;
  const TestDirectory temporary;
  int out[2];
  if (pipe(out) != 0) return run;
  const pid_t client = fork();
  if (client == 0) {
    setenv("TMPDIR", temporary.Path().c_str(), 1);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    prepare();
    std::vector<char*> words{const_cast<char*>("./engine_sim")};
    for (const std::string& word : arguments) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    execv(words[0], words.data());
    _exit(91);
  }
  close(out[1]);
  char chunk[512];
  for (ssize_t got; (got = read(out[0], chunk, sizeof chunk)) > 0;) {
    run.output.append(chunk, static_cast<std::size_t>(got));
  }
  close(out[0]);
  waitpid(client, &run.status, 0);
  return run;
}

// A client with few descriptors left: the host cannot start, the library
// loads untried, and the log says the descriptors ran out (not that the
// host "ended, how is unknown"). Each limit runs out at another step.
TEST(HostStart, TooFewDescriptorsAreNamedAsTheReason) {
  for (const rlim_t limit : {13, 16, 18}) {
    static rlim_t s_limit;
    s_limit = limit;
    const ToolRun run = RunEngineSim({"--check", "--module", "./vdqrn.so", "--library", "simspectro", "--log"}, [] {
      const rlimit few{s_limit, s_limit};
      setrlimit(RLIMIT_NOFILE, &few);
    });
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("\" loads untried: ")) << limit;
    EXPECT_THAT(run.output, HasSubstr("the client's limit of open descriptors, RLIMIT_NOFILE, "
                                      "is reached")) << limit << "\n" << run.output;
  }
}

// A client in the foreground of a terminal set to stop background writers
// (tostop): the host, in a process group of its own, writes to the terminal
// and sets its modes from the library's start-up, and is not stopped for it.
// The tool runs as the terminal's session leader, as a client started from
// a shell does.
TEST(HostJobControl, ATerminalNeverStopsTheHost) {
  const TestDirectory temporary;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  const pid_t client = fork();
  ASSERT_GE(client, 0);
  if (client == 0) {
    setsid();
    const int terminal = open(slave.c_str(), O_RDWR);
    if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(90);
    termios modes {};
    tcgetattr(terminal, &modes);
    modes.c_lflag |= TOSTOP;
    tcsetattr(terminal, TCSANOW, &modes);
    for (int fd = 0; fd < 3; ++fd) dup2(terminal, fd);
    setenv("VDQRN_STARTUP_FAULT", "terminal", 1);
    setenv("TMPDIR", temporary.Path().c_str(), 1);
    execl("./engine_sim", "engine_sim", "--check", "--module", "./vdqrn.so", "--library",
          "startupspectro", static_cast<char*>(nullptr));
    _exit(91);
  }
  std::string said;
  char chunk[512];
  for (;;) {
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;  // EIO once the last process holding the terminal is gone
    said.append(chunk, static_cast<std::size_t>(got));
  }
  int status = 0;
  ASSERT_EQ(waitpid(client, &status, 0), client);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << said;
  EXPECT_THAT(said, HasSubstr("startupspectro was here"));
  EXPECT_THAT(said, HasSubstr("library \"startupspectro\" connected"));
}
#endif

}  // namespace
}  // namespace vdqrn
