// The instrument host fails: it is missing, it is of the wrong architecture,
// its library crashes or hangs in a call, or it answers what does not parse.
// Each time the command gets a clear answer, the log says what happened, the
// library counts as unloaded, this process goes on and no host is left
// running. The channel code runs in this process, where the host's folder
// and its time limit can be set.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#endif

#include "host_support.h"
#include "in_process_channel.h"
#include "instrument/instrument_host.h"
#include "module_test.h"
#include "platform/platform.h"
#include "recording_controls.h"

namespace vdqrn {
namespace {

namespace fs = std::filesystem;
using engine_sim::kDataChannelName;

class HostFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    VDQRN_SKIP_WITHOUT_HOST();
    ASSERT_TRUE(recording_.IsLoaded());
    ASSERT_TRUE(AttachInProcess(engine_, directory_.Path())) << engine_.LastError();
    ASSERT_EQ(engine_.Open(), 0);
  }
  void TearDown() override {
    DetachInProcess(engine_);
    InstrumentHost::SetHostDirectoryForTesting("");
    InstrumentHost::SetReplyTimeoutForTesting(0);
    // Whatever happened, no host is left.
    for (const long id : HostProcessIds(Lines())) EXPECT_TRUE(ProcessIsGone(id)) << id;
  }

  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(kDataChannelName, command)) return "(no write hook)";
    engine_.Poll();
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "(no answer)";
  }
  std::vector<std::string> Lines() const { return engine_sim::ReadModuleLogLines(directory_.Path()); }
  // Whether a line of the log holds the text.
  bool Said(const std::string& text) const {
    for (const std::string& line : Lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The path the module forms for a library name.
  static std::string LocalPath(const std::string& name) {
    return platform::kLocalLibraryPrefix + name + platform::kLibrarySuffix;
  }
  // A program of this build's, by its name without the system's suffix.
  static std::string Program(const std::string& name) {
#if defined(_WIN32)
    return name + ".exe";
#else
    return name;
#endif
  }
  // A folder holding the given program under the 32-bit host's name.
  std::string HostFolderWith(const std::string& program) {
    const fs::path host = fs::path(hosts_.Path()) / platform::HostFileName(kHostArchitecture);
    // A new file, not the old one overwritten: the host the test started
    // before may still be ending, and a running program cannot be written.
    fs::remove(host);
    fs::copy_file(fs::current_path() / program, host);
    fs::permissions(host, fs::perms::owner_all, fs::perm_options::add);
    return hosts_.Path() + static_cast<char>(fs::path::preferred_separator);
  }

  TestDirectory directory_;
  TestDirectory hosts_;
  SharedRecordingState state_;
  RecordingLibrary recording_;
  engine_sim::Engine engine_;
};

const char kLoadFailed[] = "ERROR|Error loading driver (\"recordingspectro32\") on client";

TEST_F(HostFaults, MissingHostFailsTheLoadAndSaysWhy) {
  InstrumentHost::SetHostDirectoryForTesting(hosts_.Path() + "/");
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  EXPECT_TRUE(ContainsInOrder(Lines(), {Stamped("Loading driver \"recordingspectro32\""),
                                        Stamped("Loading Driver error")}));
  bool said = false;
  for (const std::string& line : Lines()) {
    // The file by the absolute path the module found it at.
    said |= line.find("Instrument host failed: \"" +
                      platform::LocateLibrary(LocalPath("recordingspectro32").c_str()) + "\" is " +
                      HostArchitectureName() + " and its host cannot start (") != std::string::npos;
  }
  EXPECT_TRUE(said);
}

TEST_F(HostFaults, HostOfTheWrongArchitectureCannotLoadTheLibrary) {
  InstrumentHost::SetHostDirectoryForTesting(
      HostFolderWith(platform::HostFileName(platform::kOwnArchitecture)));
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  EXPECT_EQ(CountLines(Lines(), Stamped("Instrument host stopped (exit code 0)")), 1);
}

TEST_F(HostFaults, ReplyThatDoesNotParseEndsTheHost) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("garbagehost")));
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  EXPECT_TRUE(Said("Instrument host failed: its reply does not parse; " + HostArchitectureName() +
                   " host ended ("));
}

// A reply is all the host may send for a request: what comes besides, with
// the reply or later, would be taken for another command's answer.
TEST_F(HostFaults, MoreThanTheReplyEndsTheHost) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("extrahost")));
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  EXPECT_TRUE(Said("Instrument host failed: it sent what was not asked for; " +
                   HostArchitectureName() + " host ended ("));

  // One that comes later: whether it is there before the next request goes
  // out, or comes while that request waits for its own reply (the host sends
  // it 100 ms after the load's and answers 20 ms after each later request),
  // it is never taken for that request's answer: a reply carries the number
  // of its request.
  for (const int waitMs : {300, 0}) {
    InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("laterhost")));
    ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    const std::string answer = RoundTrip("Connect");
    EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                           "it sent what was not asked for (",
                           0),
              0u)
        << answer << " after " << waitMs << " ms";
    EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  }
}

// The request is part of the round trip: a host that takes it a byte at a
// time gets no fresh limit for each wait for room in the ring.
TEST_F(HostFaults, ARequestTakenTooSlowlyEndsTheHostAtTheLimit) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("sipperhost")));
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  InstrumentHost::SetReplyTimeoutForTesting(500);
  const std::string answer = RoundTrip("Execute|" + std::string(16800, 'x') + "|");
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Execute\" (Instrument host stopped: "
                         "it took no more of the request within 500 ms (",
                         0),
            0u)
      << answer.substr(0, 200);
}

#if !defined(_WIN32)
double ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A host that rings without pause costs the waiting thread next to nothing
// (each wake used to be handled one by one: most of a processor).
TEST_F(HostFaults, AHostThatFloodsTheWakeSocketCostsTheClientNothing) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("floodhost")));
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  InstrumentHost::SetReplyTimeoutForTesting(2000);
  const double before = ThreadCpuMilliseconds();
  const std::string answer = RoundTrip("Connect");
  const double spent = ThreadCpuMilliseconds() - before;
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                         "no answer within 2 s (",
                         0),
            0u)
      << answer;
  EXPECT_LT(spent, 200.0) << "ms of processor time over the 2 s wait";
}

// What a starting host writes to its standard error is read as it comes (a
// host that writes more than a pipe holds is not blocked) and logged.
TEST_F(HostFaults, WhatAStartingHostWritesIsReadWhileItStartsAndLogged) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("chattyhost")));
  InstrumentHost::SetReplyTimeoutForTesting(10000);
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_TRUE(Said("Instrument host wrote: 255" + std::string(1000, 'w')));
  EXPECT_FALSE(Said("cannot run"));
}

#if !defined(_WIN32)
// A host that died while the session was idle stopped before the call, and
// the answer says so (not "during the call").
TEST_F(HostFaults, AHostThatDiedWhileIdleIsSaidToHaveStoppedBeforeTheCall) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  const std::vector<long> hosts = HostProcessIds(Lines());
  ASSERT_EQ(hosts.size(), 1u);
  kill(static_cast<pid_t>(hosts[0]), SIGKILL);
  for (int look = 0; look < 500 && !ProcessIsGone(hosts[0]); ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string answer = RoundTrip("Connect");
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                         "it had stopped before the call (signal 9",
                         0),
            0u)
      << answer;
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
}

// However slowly it comes, no more than the last 16 KiB of it is kept (a
// host that trickled 32 MiB once made one log line of 3.2 MB).
TEST_F(HostFaults, WhatAStartingHostTricklesIsKeptToItsLast16KiB) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("mutterhost")));
  InstrumentHost::SetReplyTimeoutForTesting(20000);
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  std::size_t kept = 0;
  for (const std::string& line : Lines()) {
    if (line.find("Instrument host wrote: m") != std::string::npos) kept += line.size();
  }
  EXPECT_GT(kept, 8192u);
  EXPECT_LE(kept, 16384u + 64u);
}
#endif

// The C library of the module's own architecture, which every program of
// it here has loaded already: preloading it changes nothing for one (an
// emulator that runs the host included; a library built with a sanitizer
// would stop a program built without), and the host's loader, of the other
// width, warns about it.
std::string OwnCLibrary() {
  Dl_info info{};
  void* function = dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
  if (function == nullptr || dladdr(function, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

// The 32-bit loader warns about a 64-bit preload: that is logged as the
// host's words, and a host that stops later still stopped.
TEST_F(HostFaults, ALoaderWarningIsLoggedAndLaterStopsAreStops) {
  const std::string preload = OwnCLibrary();
  ASSERT_FALSE(preload.empty());
  setenv("LD_PRELOAD", preload.c_str(), 1);
  const std::string loaded = RoundTrip("Init|recordingspectro32|");
  unsetenv("LD_PRELOAD");
  ASSERT_EQ(loaded, "OK") << Quoted(Lines());
  EXPECT_TRUE(Said("Instrument host wrote: ")) << Quoted(Lines());
  recording_.SetThrow(RecordingLibrary::kCrash);
  const std::string answer = RoundTrip("Connect");
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                         "it stopped during the call (signal ",
                         0),
            0u)
      << answer;
}

std::size_t ThreadCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// No thread of the module waits for the host: nothing of its code could run
// on once it is unloaded, however that happens.
TEST_F(HostFaults, AHostCostsTheClientNoThread) {
  const std::size_t before = ThreadCount();
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
}

// A client that ignores SIGCHLD still learns how each host ended.
TEST_F(HostFaults, AClientThatIgnoresSigchldStillLearnsHowTheHostEnded) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGCHLD, &ignore, &previous);
  const std::string loaded = RoundTrip("Init|recordingspectro32|");
  const std::string unloaded = RoundTrip("Init|nosuchlibrary|");
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(loaded, "OK");
  EXPECT_EQ(unloaded, "ERROR|Error loading driver (\"nosuchlibrary\") on client");
  EXPECT_TRUE(Said("Instrument host stopped (exit code 0)")) << Quoted(Lines());
}
#endif

// The limit is one deadline for the whole round trip, however the reply is
// cut: a host that sends it a byte at a time does not get it afresh for each.
TEST_F(HostFaults, ReplyTrickledPastTheLimitEndsTheHost) {
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(Program("tricklehost")));
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  // Only now: a host started under an emulator may take longer to load.
  InstrumentHost::SetReplyTimeoutForTesting(300);
  const std::string answer = RoundTrip("Connect");  // the whole reply takes 700 ms
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                         "no answer within 300 ms (",
                         0),
            0u)
      << answer;
}

TEST_F(HostFaults, LibraryCrashingInTheHostAnswersAndUnloads) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  recording_.SetThrow(RecordingLibrary::kCrash);
#if defined(_WIN32)
  // Windows: the host's guard cuts the call short; the host lives on, and
  // the library is not called again until the next Init starts a new one.
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|Unhandled exception");
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("Connect").rfind("ERROR|Driver call cut short earlier, send Init again", 0),
            0u);
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
  return;
#endif
  const std::string answer = RoundTrip("Connect");
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: "
                         "it stopped during the call (",
                         0),
            0u)
      << answer;
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  EXPECT_EQ(RoundTrip("Hello"), "OK|Hello");
  // Loaded again, it answers.
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
}

TEST_F(HostFaults, CallThatNeverReturnsEndsTheHostAtTheLimit) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  // Only now: a host started under an emulator may take longer to load.
  InstrumentHost::SetReplyTimeoutForTesting(400);
  recording_.SetThrow(RecordingLibrary::kHang);
  const std::string answer = RoundTrip("Measure");
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Measure\" (Instrument host stopped: "
                         "no answer within 400 ms (",
                         0),
            0u)
      << answer;
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("Measure"), "ERROR|No driver loaded");
}

// The host's life is the client process's, not that of the thread that
// happened to run the first Init (an engine may run it on a thread that ends).
TEST_F(HostFaults, TheHostOutlivesTheThreadThatStartedIt) {
  std::string loaded;
  std::thread([&] { loaded = RoundTrip("Init|recordingspectro32|"); }).join();
  ASSERT_EQ(loaded, "OK");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
}

// The architecture is read from the file the system would load, and the host
// loads that same file: on Windows the copy beside the program comes before
// the current directory; elsewhere only the current directory counts.
TEST_F(HostFaults, TheHostLoadsTheFileTheSystemWouldLoad) {
  const fs::path program = fs::current_path();
  TestDirectory elsewhere;
  fs::current_path(elsewhere.Path());
  const std::string loaded = RoundTrip("Init|recordingspectro32|");
  const std::string file = platform::LocateLibrary(LocalPath("recordingspectro32").c_str());
  fs::current_path(program);
#if defined(_WIN32)
  EXPECT_EQ(loaded, "OK");
  EXPECT_EQ(fs::path(file), program / ("recordingspectro32" + std::string(platform::kLibrarySuffix)));
  EXPECT_TRUE(Said("for \"" + file + "\""));
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
#else
  EXPECT_EQ(loaded, kLoadFailed);
  EXPECT_EQ(file, "");
  EXPECT_TRUE(HostProcessIds(Lines()).empty());
  // From the program's folder the same name goes to the host, by its
  // absolute path.
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_TRUE(Said("for \"" + (program / "recordingspectro32.so").string() + "\""));
#endif
}

#if !defined(_WIN32)
// Waits up to five seconds for a process to be gone (collected, not a zombie).
bool GoneSoon(long id) {
  for (int look = 0; look < 500 && !ProcessIsGone(id); ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ProcessIsGone(id);
}

TEST_F(HostFaults, AHostThatDiesWhileIdleIsCollectedWithoutACommand) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  const std::vector<long> ids = HostProcessIds(Lines());
  ASSERT_EQ(ids.size(), 1u);
  ASSERT_EQ(kill(static_cast<pid_t>(ids[0]), SIGKILL), 0);
  EXPECT_TRUE(GoneSoon(ids[0]));
  const std::string answer = RoundTrip("Connect");
  EXPECT_EQ(answer.rfind("ERROR|Error executing command \"Connect\" (Instrument host stopped: ", 0), 0u)
      << answer;
}

// Processes the library starts end with its host: when the host is ended,
// and when it crashes.
TEST_F(HostFaults, WhatTheLibraryStartedEndsWithTheHost) {
  const auto spawned = [&] {
    std::ifstream file(state_.Path() + "/spawned");
    long id = 0;
    file >> id;
    return id;
  };
  for (const char* ending : {"unload", "crash"}) {
    ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
    recording_.SetThrow(RecordingLibrary::kSpawn);
    EXPECT_EQ(RoundTrip("Connect"), "OK|true");
    const long helper = spawned();
    ASSERT_GT(helper, 0) << ending;
    EXPECT_FALSE(ProcessIsGone(helper)) << ending;
    if (std::string(ending) == "unload") {
      recording_.SetThrow(RecordingLibrary::kNothing);
      EXPECT_EQ(RoundTrip("Init|nosuchlibrary|"),
                "ERROR|Error loading driver (\"nosuchlibrary\") on client");
    } else {
      recording_.SetThrow(RecordingLibrary::kCrash);
      RoundTrip("Connect");
      recording_.SetThrow(RecordingLibrary::kNothing);
    }
    EXPECT_TRUE(GoneSoon(helper)) << ending;
  }
}

// A host the system cannot run (here: its loader missing) is reported as
// such, with the system's reason, not as a host that stopped.
TEST_F(HostFaults, AHostThatCannotRunSaysWhy) {
  const std::string folder = HostFolderWith(platform::HostFileName(kHostArchitecture));
  const std::string host = folder + platform::HostFileName(kHostArchitecture);
  std::ostringstream read;
  read << std::ifstream(host, std::ios::binary).rdbuf();
  std::string bytes = read.str();
  const std::string loader = kHostArchitecture == platform::Architecture::kArm32
                                 ? "/lib/ld-linux-armhf.so.3"
                                 : "/lib/ld-linux.so.2";
  const std::size_t at = bytes.find(loader);
  ASSERT_NE(at, std::string::npos);
  std::string missing = loader;
  missing.replace(missing.find("linux"), 5, "nowhr");
  bytes.replace(at, loader.size(), missing);
  std::ofstream(host, std::ios::binary | std::ios::trunc) << bytes;
  InstrumentHost::SetHostDirectoryForTesting(folder);
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  // Natively exec fails; under an emulator registered with binfmt_misc the
  // emulator says it.
  EXPECT_TRUE(Said("Instrument host failed: " + HostArchitectureName() + " host cannot run ("))
      << Quoted(Lines());
  EXPECT_FALSE(Said("stopped during the call"));
}
#endif

}  // namespace
}  // namespace vdqrn
