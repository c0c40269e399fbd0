// Volume: ten thousand commands between two polls, the largest block one
// write can carry, library texts and responses far beyond the direct send's
// 16-bit length, and a command text of a megabyte, which no single write can
// carry and is therefore handed to VirtualChannelICA in process.
#include "channel/virtual_channel_ica.h"
#include "module_test.h"
#include "in_process_channel.h"
#include "exchanges.h"
#include "recording_controls.h"

namespace vdqrn {

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;
using engine_sim::SendPath;

std::string UnknownCommandAnswer(const std::string& name) {
  return "ERROR|Unknown command \"" + name + "\"";
}

// ---- Through the module ----

class Volume : public ModuleTest, public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    OpenWithVersion(GetParam());
  }
  bool Hpc() const { return GetParam() != 0; }
};

INSTANTIATE_TEST_SUITE_P(Modes, Volume, ::testing::Values(0, 1), ModeName);

TEST_P(Volume, TenThousandCommandsBetweenTwoPollsLeaveOnlyTheLastResponse) {
  constexpr int kCommands = 10000;
  // In high-performance mode the engine refuses every immediate send, so
  // that each response is still pending when the next command replaces it.
  std::vector<std::int32_t> statuses;
  if (Hpc()) statuses.assign(kCommands, 1016);
  engine_.ScriptSendStatuses(statuses);

  EXPECT_EQ(engine_.Poll(), 21);
  // Sixty thousand log lines would only make the test slow, under wine above
  // all: the log goes nowhere while the commands arrive.
  engine_sim::SetModuleTempDirectory(directory_.Path() + "/missing");
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_TRUE(engine_.Write(i % 2 == 0 ? kDataChannelName : kCommandChannelName,
                              "Cmd" + std::to_string(i)));
  }
  engine_sim::SetModuleTempDirectory(directory_.Path());
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Poll(), 21);

  const std::string last = UnknownCommandAnswer("Cmd" + std::to_string(kCommands - 1));
  EXPECT_EQ(AcceptedSends(engine_.Sent(), statuses), std::vector<std::string>{last});
  if (Hpc()) {
    // Each response was tried once, in order, and the last once more.
    ASSERT_EQ(engine_.Sent().size(), static_cast<std::size_t>(kCommands) + 1);
    for (int i = 0; i < kCommands; ++i) {
      ASSERT_EQ(engine_.Sent()[static_cast<std::size_t>(i)].bytes,
                UnknownCommandAnswer("Cmd" + std::to_string(i)));
    }
  } else {
    EXPECT_EQ(engine_.Sent().size(), 1u);
  }
  EXPECT_TRUE(ContainsInOrder(LogLines(), {"Response sent (\"" + last + "\")",
                                           "Clear response buffer"}));
}

TEST_P(Volume, LargestSingleWriteIsAnsweredWholeThroughTheQueuedWrite) {
  const std::string name(65535, 'w');
  ASSERT_TRUE(engine_.Write(kDataChannelName, name));
  EXPECT_EQ(engine_.Poll(), Hpc() ? 21 : 0);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].path, SendPath::kQueuedWrite);
  EXPECT_EQ(engine_.Sent()[0].bytes.size(), 65535u + 24u);
  EXPECT_EQ(engine_.Sent()[0].bytes, UnknownCommandAnswer(name));
}

TEST_P(Volume, LibraryTextsOfAnySizeAreAnsweredWhole) {
  RecordingLibrary recording;
  ASSERT_TRUE(recording.IsLoaded());
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Init|recordingspectro|"));
  engine_.Poll();
  // Around the direct send's limit of 65535 bytes, and far beyond it.
  for (const std::size_t length : {65532u, 65533u, 300000u}) {
    std::string text(length, 't');
    text.front() = '<';
    text.back() = '>';
    recording.SetText(text.c_str());
    engine_.ClearSent();
    ASSERT_TRUE(engine_.Write(kDataChannelName, "GetSerialNumber"));
    engine_.Poll();
    ASSERT_EQ(engine_.Sent().size(), 1u) << length;
    const engine_sim::SentData& sent = engine_.Sent()[0];
    EXPECT_EQ(sent.bytes.size(), length + 3);
    EXPECT_TRUE(sent.bytes == "OK|" + text) << length;
    const bool direct = Hpc() && length + 3 <= 65535;
    EXPECT_EQ(sent.path, direct ? SendPath::kDirectSend : SendPath::kQueuedWrite) << length;
    EXPECT_EQ(sent.channel, DataChannel());
  }
}

// ---- In process: a command text of a megabyte ----

class MegabyteCommand : public ::testing::TestWithParam<std::uint16_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AttachInProcess(engine_, directory_.Path())) << engine_.LastError();
    engine_.SetWdVersion(GetParam());
    ASSERT_EQ(engine_.Open(), 0);
  }
  void TearDown() override {
    DetachInProcess(engine_);
    EXPECT_TRUE(engine_.Violations().empty());
  }
  // Answers the text as the data-arrival procedure would and lets the
  // engine's next poll send the response; what the host received.
  std::string Deliver(const std::string& text) {
    engine_.ClearSent();
    const std::string answer = GetVirtualChannel().Execute(text);
    EXPECT_EQ(engine_.Poll(), 0);
    EXPECT_EQ(engine_.Poll(), 21);
    if (engine_.Sent().size() != 1) return "(sent " + std::to_string(engine_.Sent().size()) + ")";
    // Only a response that fits the direct send's 16-bit length goes direct.
    const bool direct = GetParam() != 0 && answer.size() <= 65535;
    EXPECT_EQ(engine_.Sent()[0].path, direct ? SendPath::kDirectSend : SendPath::kQueuedWrite);
    EXPECT_TRUE(engine_.Sent()[0].bytes == answer);
    return engine_.Sent()[0].bytes;
  }

  TestDirectory directory_;
  engine_sim::Engine engine_;
};

INSTANTIATE_TEST_SUITE_P(Modes, MegabyteCommand, ::testing::Values(0, 1), ModeName);

TEST_P(MegabyteCommand, IsAnsweredAndItsResponseSentWhole) {
  const std::string payload(1 << 20, 'm');
  EXPECT_TRUE(Deliver(payload) == UnknownCommandAnswer(payload));
  EXPECT_EQ(Deliver("Init|simspectro|"), "OK");
  // The simulated instrument echoes the megabyte back.
  EXPECT_TRUE(Deliver("Execute|Echo:" + payload + "|") == "OK|" + payload);
  EXPECT_EQ(Deliver("SetOption|" + payload + "|" + payload + "|"), "OK|false");
  EXPECT_EQ(Deliver("GetLastErrorString"), "OK|Unknown setting");
}

}  // namespace

}  // namespace vdqrn
