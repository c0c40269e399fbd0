// What the process around the module may do to the instrument host, each
// way played by a client process of its own (hostclient): unload the module
// while the host is stuck, fork a child that calls exit(), run with its
// standard descriptors closed, leave a forked helper behind when it dies,
// reuse a process number, load the module from an odd folder or from no
// folder at all. The client never crashes, a host is never touched by a
// process that did not start it, and no host outlives its client.
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "host_support.h"
#include "module_test.h"
#include "recording_controls.h"

extern char** environ;

namespace vdqrn {
namespace {

namespace fs = std::filesystem;

const char kInit[] = "cmd=Init|recordingspectro32|";
const std::string kLoad = "load=" + ModulePath();
const std::string kModuleFile = fs::path(ModulePath()).filename().string();

bool WaitFor(const std::function<bool()>& condition, int seconds = 10) {
  for (int look = 0; look < seconds * 100; ++look) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// Each case twice: with the kernel's process descriptors, and as on a
// kernel without them (before 5.3, RHEL 8's 4.18 among them: pidfd_open
// answers ENOSYS), where the watcher follows the client through a pipe.
class HostProcess : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    VDQRN_SKIP_WITHOUT_HOST();
    engine_sim::SetModuleTempDirectory(log_.Path());
    setenv("VDQRN_CLIENT_ANSWERS", Path("answers").c_str(), 1);
    // An emulator (qemu-user) takes no seccomp filter: there the fallback
    // cannot be forced, and says so.
    if (GetParam()) {
      const int status = Run({});
      if (WIFEXITED(status) && WEXITSTATUS(status) == 4) {
        GTEST_SKIP() << "pidfd_open cannot be made to fail here: no seccomp filter is taken "
                        "(an emulator's system calls)";
      }
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      std::remove(Path("answers").c_str());
    }
  }
  void TearDown() override {
    unsetenv("VDQRN_CLIENT_ANSWERS");
    if (client_ > 0) {
      kill(client_, SIGKILL);
      waitpid(client_, nullptr, 0);
    }
    // (Numbers from a pid namespace of the client's own mean nothing here.)
    for (const long id : namespaced_ ? std::vector<long>() : HostProcessIds(Lines())) {
      EXPECT_TRUE(WaitFor([id] { return ProcessIsGone(id); }, 5)) << "host " << id;
    }
  }

  std::string Path(const std::string& name) const { return scratch_.Path() + "/" + name; }

  // Starts the client with the steps; `before` goes in front of it (a
  // program that runs it).
  void Start(const std::vector<std::string>& steps, const std::vector<std::string>& before = {}) {
    std::vector<std::string> words = before;
    words.push_back("./hostclient");
    if (GetParam()) words.push_back("no-pidfd");
    words.insert(words.end(), steps.begin(), steps.end());
    std::vector<char*> arguments;
    for (std::string& word : words) arguments.push_back(&word[0]);
    arguments.push_back(nullptr);
    ASSERT_EQ(posix_spawnp(&client_, arguments[0], nullptr, nullptr, arguments.data(), environ), 0);
  }
  // Waits for the client to end; its wait status.
  int Finish(int seconds = 60) {
    int status = -1;
    const bool ended = WaitFor([&] { return waitpid(client_, &status, WNOHANG) == client_; }, seconds);
    EXPECT_TRUE(ended) << "the client did not end";
    if (ended) client_ = 0;
    return status;
  }
  int Run(const std::vector<std::string>& steps, const std::vector<std::string>& before = {}) {
    Start(steps, before);
    return Finish();
  }

  std::vector<std::string> Answers() const {
    std::vector<std::string> lines;
    std::ifstream file(Path("answers"));
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> Lines() const { return engine_sim::ReadModuleLogLines(log_.Path()); }
  long HostId() const {
    const std::vector<long> ids = HostProcessIds(Lines());
    return ids.empty() ? 0 : ids.back();
  }
  bool Said(const std::string& text) const {
    for (const std::string& line : Lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  TestDirectory log_;
  TestDirectory scratch_;
  SharedRecordingState state_;
  pid_t client_ = 0;
  bool namespaced_ = false;
};

int CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  }));
}

bool ExitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

INSTANTIATE_TEST_SUITE_P(Kernels, HostProcess, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& without) {
                           return without.param ? "WithoutProcessDescriptors"
                                                : "WithProcessDescriptors";
                         });

// The engine unloads the module while the host cannot die (a tracer holds
// it): the module must not leave anything of its own running, whose code
// would be gone when the host is finally let go.
TEST_P(HostProcess, UnloadingWhileTheHostIsStuckLeavesNothingOfOursRunning) {
  Start({kLoad, kInit, "mark=" + Path("started"), "await=" + Path("stopped"), "unload",
         "mark=" + Path("unloaded"), "await=" + Path("released"), "sleep=1500"});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Path("started")); }, 60));
  const pid_t host = static_cast<pid_t>(HostId());
  ASSERT_GT(host, 0);
  if (ptrace(PTRACE_SEIZE, host, nullptr, nullptr) != 0) {
    GTEST_SKIP() << "cannot trace the host here: " << std::strerror(errno);
  }
  ASSERT_EQ(ptrace(PTRACE_INTERRUPT, host, nullptr, nullptr), 0);
  int status = 0;
  ASSERT_EQ(waitpid(host, &status, __WALL), host);
  std::ofstream(Path("stopped")) << "\n";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Path("unloaded")); }, 30));
  // Let go: whatever killed it meanwhile now takes effect.
  kill(host, SIGKILL);
  while (waitpid(host, &status, __WALL) == host && !WIFEXITED(status) && !WIFSIGNALED(status)) {
    ptrace(PTRACE_CONT, host, nullptr, nullptr);
  }
  std::ofstream(Path("released")) << "\n";
  const int ended = Finish();
  EXPECT_TRUE(ExitedCleanly(ended)) << "client wait status " << ended;
  EXPECT_TRUE(Said("Instrument host stopped (killed, not yet gone)"));
}

// Another thread of the client calls exit() while the engine's thread waits
// for the host (a library that hangs in Measure): the module's statics are
// destroyed without the engine's unload, and must leave the host, its
// channel and the command's objects to the process's end rather than free
// them under the waiting thread. Several runs: the moment varies.
TEST_P(HostProcess, ExitOnAnotherThreadDuringAHostCallEndsTheClientCleanly) {
  RecordingLibrary recording;
  ASSERT_TRUE(recording.IsLoaded());
  recording.SetThrow(RecordingLibrary::kHang);
  for (const int delayMs : {150, 300, 450, 600, 750, 900}) {
    const int status = Run({kLoad, kInit, "exit-after=" + std::to_string(delayMs), "cmd=Measure"});
    EXPECT_TRUE(ExitedCleanly(status)) << "after " << delayMs << " ms: wait status " << status;
    EXPECT_TRUE(Said("Process ending during a command: the driver is left to the system"));
    const long host = HostId();
    EXPECT_TRUE(WaitFor([host] { return ProcessIsGone(host); }, 10)) << host;
  }
  recording.SetThrow(RecordingLibrary::kNothing);
}

// A helper forked by the client that calls exit() runs the module's static
// destructors: they leave the parent's host alone and write nothing.
TEST_P(HostProcess, AForkedChildThatExitsLeavesTheHostAlone) {
  std::set<std::string> before;
  for (const auto& entry : fs::directory_iterator(".")) before.insert(entry.path().string());
  EXPECT_TRUE(ExitedCleanly(Run({kLoad, kInit, "fork-exit", "cmd=Connect", "cmd=IsConnected"})));
  EXPECT_EQ(Answers(), (std::vector<std::string>{"OK", "OK|true", "OK|true"}));
  EXPECT_EQ(CountContaining(Lines(), "Instrument host stopped"), 1) << Quoted(Lines());
  EXPECT_TRUE(Said("Instrument host stopped (exit code 0)"));
  for (const auto& entry : fs::directory_iterator(".")) {
    EXPECT_EQ(before.count(entry.path().string()), 1u) << "new file " << entry.path();
  }
}

// A forked child that sends a command never reaches the parent's host: its
// copy of the channel lacks the parent's counters, and the parent's next
// answer would be the child's.
TEST_P(HostProcess, AForkedChildCannotTalkToTheParentsHost) {
  EXPECT_TRUE(ExitedCleanly(Run({kLoad, kInit, "fork-cmd=GetSerialNumber", "cmd=IsConnected"})));
  const std::vector<std::string> answers = Answers();
  ASSERT_EQ(answers.size(), 3u) << Quoted(answers);
  EXPECT_EQ(answers[1].rfind("child: ERROR|Error executing command \"GetSerialNumber\" "
                             "(Instrument host stopped: it belongs to the process that started it",
                             0),
            0u)
      << answers[1];
  EXPECT_EQ(answers[2].rfind("OK|", 0), 0u) << answers[2];
}

// A client without standard descriptors: the host's are /dev/null (never a
// descriptor of the module's that took the free number), and the host still
// ends with the client.
TEST_P(HostProcess, ClosedStandardDescriptorsAreNeitherInheritedNorMistaken) {
  Start({"close=0", "close=1", "close=2", kLoad, kInit, "mark=" + Path("ready"),
         "await=" + Path("checked"), "kill-self"});
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Path("ready")); }, 60));
  const long host = HostId();
  ASSERT_GT(host, 0);
  for (int fd = 0; fd <= 2; ++fd) {
    const std::string link = "/proc/" + std::to_string(host) + "/fd/" + std::to_string(fd);
    std::error_code error;
    EXPECT_EQ(fs::read_symlink(link, error).string(), "/dev/null") << link;
  }
  std::ofstream(Path("checked")) << "\n";
  Finish();
  EXPECT_TRUE(WaitFor([host] { return ProcessIsGone(host); }, 5)) << "host " << host;
}

// A helper the client forked holds a copy of every descriptor: the host
// follows the client process itself, not a descriptor.
TEST_P(HostProcess, AForkedHelperThatOutlivesTheClientDoesNotKeepTheHost) {
  Run({kLoad, kInit, "fork-helper=30000", "kill-self"});
  const long host = HostId();
  ASSERT_GT(host, 0);
  EXPECT_TRUE(WaitFor([host] { return ProcessIsGone(host); }, 5)) << "host " << host;
  for (const std::string& line : Answers()) {
    if (line.rfind("helper ", 0) == 0) kill(std::stoi(line.substr(7)), SIGKILL);
  }
}

// A client that adopts orphans (a subreaper, or a container's first process)
// is left no finished watcher to collect.
TEST_P(HostProcess, AClientThatAdoptsOrphansIsLeftNothingToCollect) {
  std::vector<std::string> steps = {"subreaper", kLoad};
  for (int round = 0; round < 5; ++round) {
    steps.push_back(kInit);
    steps.push_back("cmd=Init|nosuchlibrary|");
  }
  steps.push_back("mark=" + Path("done"));
  steps.push_back("await=" + Path("counted"));
  Start(steps);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Path("done")); }, 60));
  int zombies = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %ld", &state, &parent) == 2 &&
        parent == client_ && state == 'Z') {
      ++zombies;
    }
  }
  std::ofstream(Path("counted")) << "\n";
  EXPECT_TRUE(ExitedCleanly(Finish()));
  EXPECT_EQ(zombies, 0);
  EXPECT_EQ(CountContaining(Lines(), "Instrument host stopped (exit code 0)"), 5);
}

// In a pid namespace of its own the client makes any number free a
// stranger's at once: every group kill sent for a host whose number is no
// longer held would hit the stranger.
TEST_P(HostProcess, NoGroupKillReachesANumberTheHostNoLongerHolds) {
  if (geteuid() != 0 || system("unshare --pid --fork --mount-proc true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no pid namespace of our own here (needs root and unshare)";
  }
  namespaced_ = true;
  setenv("VDQRN_CLIENT_STRANGERS", "1", 1);
  std::vector<std::string> steps = {kLoad};
  for (int round = 0; round < 3; ++round) {
    steps.push_back(kInit);
    steps.push_back("cmd=Init|nosuchlibrary|");  // ends the host
  }
  const int status = Run(steps, {"unshare", "--pid", "--fork", "--mount-proc"});
  unsetenv("VDQRN_CLIENT_STRANGERS");
  EXPECT_TRUE(ExitedCleanly(status)) << status;
  const std::vector<std::string> answers = Answers();
  EXPECT_EQ(std::count(answers.begin(), answers.end(), "OK"), 3) << Quoted(answers);
  EXPECT_EQ(std::count(answers.begin(), answers.end(), "stranger killed"), 0) << Quoted(answers);
  EXPECT_EQ(CountContaining(Lines(), "Instrument host stopped (exit code 0)"), 3) << Quoted(Lines());
}

// The host comes from the folder of the very file the system mapped: one
// whose name holds a newline is found, a memfd has no folder and starts none.
TEST_P(HostProcess, TheHostComesOnlyFromTheModulesRealFolder) {
  const fs::path folder = fs::path(scratch_.Path()) / "new\nline";
  fs::create_directory(folder);
  for (const std::string& name : {kModuleFile, platform::HostFileName(kHostArchitecture)}) {
    fs::copy_file(name, folder / name);
  }
  EXPECT_TRUE(ExitedCleanly(Run({"load=" + (folder / kModuleFile).string(), kInit})));
  EXPECT_EQ(Answers(), std::vector<std::string>{"OK"});

  fs::remove(Path("answers"));
  EXPECT_TRUE(ExitedCleanly(Run({"load-memfd=" + ModulePath(), kInit})));
  EXPECT_EQ(Answers(),
            std::vector<std::string>{"ERROR|Error loading driver (\"recordingspectro32\") on client"});
  EXPECT_TRUE(Said("its host cannot start (the module's folder is unknown)")) << Quoted(Lines());
}

}  // namespace
}  // namespace vdqrn
