// The instrument host fails: it is missing, it is of the wrong architecture,
// its library crashes or hangs in a call, or it answers what does not parse.
// Each time the command gets a clear answer, the log says what happened, the
// library counts as unloaded, this process goes on and no host is left
// running. The channel code runs in this process, where the host's folder
// and its time limit can be set.
#include <filesystem>

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
  // A folder holding the given program under the 32-bit host's name.
  std::string HostFolderWith(const std::string& program) {
    const fs::path host = fs::path(hosts_.Path()) / platform::HostFileName(platform::Architecture::kX86);
    fs::copy_file(fs::current_path() / program, host, fs::copy_options::overwrite_existing);
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
    said |= line.find("Instrument host failed: \"" + std::string(platform::kLocalLibraryPrefix) +
                      "recordingspectro32" + platform::kLibrarySuffix +
                      "\" is 32-bit x86 and its host cannot start (") != std::string::npos;
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
  InstrumentHost::SetHostDirectoryForTesting(HostFolderWith(
#if defined(_WIN32)
      "garbagehost.exe"
#else
      "garbagehost"
#endif
      ));
  EXPECT_EQ(RoundTrip("Init|recordingspectro32|"), kLoadFailed);
  bool said = false;
  for (const std::string& line : Lines()) {
    said |= line.find("Instrument host failed: its reply does not parse; 32-bit x86 host ended (") !=
            std::string::npos;
  }
  EXPECT_TRUE(said);
}

TEST_F(HostFaults, LibraryCrashingInTheHostAnswersAndUnloads) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  recording_.SetThrow(RecordingLibrary::kCrash);
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
  InstrumentHost::SetReplyTimeoutForTesting(400);
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
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

}  // namespace
}  // namespace vdqrn
