// Commands in, responses out: the data-arrival procedure, the pending
// response and its delivery through the queued write (normal mode) or the
// direct send (high-performance mode).
#include "module_test.h"
#include "recording_controls.h"

namespace vdqrn {

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;
using engine_sim::SendPath;
using engine_sim::SentData;

// Both modes share most expectations; the parameter is the winstation
// driver's version (0 normal, 1 high-performance).
class Delivery : public ModuleTest, public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    OpenWithVersion(GetParam());
  }
  bool Hpc() const { return GetParam() != 0; }
  SendPath ExpectedPath() const { return Hpc() ? SendPath::kDirectSend : SendPath::kQueuedWrite; }
  // In normal mode the engine's next poll sends; in high-performance mode the
  // response has already gone and the poll finds nothing.
  void PollAsTheEngineWould() {
    if (Hpc()) {
      EXPECT_EQ(engine_.Poll(), 21);
    } else {
      EXPECT_TRUE(engine_.Sent().empty());
      EXPECT_EQ(engine_.Poll(), 0);
    }
  }
  void ExpectOneSend(const std::string& bytes) {
    ASSERT_EQ(engine_.Sent().size(), 1u);
    const SentData& sent = engine_.Sent()[0];
    EXPECT_EQ(sent.bytes, bytes);
    EXPECT_EQ(sent.channel, DataChannel());
    EXPECT_EQ(sent.path, ExpectedPath());
    if (Hpc()) {
      EXPECT_EQ(sent.directFlags, 1u);
      EXPECT_TRUE(sent.userDataPointsToBytes);
    } else {
      EXPECT_EQ(sent.sectionCount, 1);
      EXPECT_EQ(sent.queueFlags, 0);
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Modes, Delivery, ::testing::Values(0, 1),
                         ModeName);

TEST_P(Delivery, VersionKeywordIsAnsweredWithTheDriverVersion) {
  ASSERT_TRUE(engine_.Write(kDataChannelName, "QuarnClientDriverVersion"));
  PollAsTheEngineWould();
  ExpectOneSend("1.5.0");
  EXPECT_EQ(engine_.Poll(), 21);
  EXPECT_TRUE(ContainsInOrder(LogLines(), {"Virtual channel - Execute: \"QuarnClientDriverVersion\"",
                                           "Response: \"1.5.0\""}));
}

TEST_P(Delivery, CommandFromTheCommandChannelIsAnsweredOnTheDataChannel) {
  ASSERT_NE(CommandChannel(), DataChannel());
  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Nope"));
  PollAsTheEngineWould();
  ExpectOneSend("ERROR|Unknown command \"Nope\"");
}

TEST_P(Delivery, DeliveryWritesItsLinesInOrder) {
  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Hello"));
  PollAsTheEngineWould();
  const std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(ContainsInOrder(
      lines, {Stamped("ICA: Data arrival"),
              "Data (channel: " + std::to_string(CommandChannel()) + ", size: 5): \"Hello\"",
              "Virtual channel - Execute: \"Hello\"",
              "Virtual channel - Pending respone <-- \"OK|Hello\"", "Response: \"OK|Hello\""}));
  std::vector<std::string> delivery = {Stamped("ICA: SendData - Data available"),
                                       "Virtual channel  - Pending response: \"OK|Hello\"",
                                       Hpc() ? "  Send HPC" : "  Post response for sending",
                                       "Response sent (\"OK|Hello\")", "Clear response buffer"};
  if (Hpc()) {
    delivery.insert(delivery.begin(), "Is HPC --> Send data direct");
    delivery.insert(delivery.begin(), "Response: \"OK|Hello\"");
  }
  // The idle poll in high-performance mode adds nothing after it.
  EXPECT_TRUE(LinesAre(LinesFrom(lines, delivery.front()), delivery));
}

TEST_P(Delivery, IdlePollAnswers21AndLogsNothing) {
  const std::vector<std::string> before = LogLines();
  EXPECT_EQ(engine_.Poll(), 21);
  EXPECT_EQ(engine_.Poll(), 21);
  EXPECT_EQ(LogLines(), before);
  EXPECT_TRUE(engine_.Sent().empty());
}

TEST_P(Delivery, BusyEngineMakesThePollAnswer30UntilItTakesTheResponse) {
  engine_.ScriptSendStatuses({1016, 1016});
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 30);
  EXPECT_EQ(engine_.Poll(), Hpc() ? 0 : 30);
  if (!Hpc()) {
    EXPECT_EQ(engine_.Poll(), 0);
  }
  EXPECT_EQ(engine_.Poll(), 21);
  ASSERT_EQ(engine_.Sent().size(), 3u);
  for (const SentData& sent : engine_.Sent()) {
    EXPECT_EQ(sent.bytes, "OK|Hello");
    EXPECT_EQ(sent.path, ExpectedPath());
  }
  EXPECT_EQ(CountLines(LogLines(), "Error sending response (Error: 1016)"), 2);
  EXPECT_EQ(CountLines(LogLines(), "Clear response buffer"), 1);
}

TEST_P(Delivery, OtherEngineCodesArePassedOnAndTheResponseKept) {
  engine_.ScriptSendStatuses({7, 7});
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  if (!Hpc()) {
    EXPECT_EQ(engine_.Poll(), 7);
  }
  EXPECT_EQ(engine_.Poll(), 7);
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Sent().size(), 3u);
  EXPECT_EQ(engine_.Sent().back().bytes, "OK|Hello");
  EXPECT_TRUE(ContainsInOrder(LogLines(), {"Error sending response (Error: 7)",
                                           "Error sending response (Error: 7)",
                                           "Response sent (\"OK|Hello\")"}));
}

TEST_P(Delivery, ZeroByteInsideABlockStaysPartOfTheCommand) {
  const std::string block("He\0lo", 5);
  ASSERT_TRUE(engine_.Write(kDataChannelName, block));
  PollAsTheEngineWould();
  ExpectOneSend("ERROR|Unknown command \"" + block + "\"");
  EXPECT_TRUE(ContainsInOrder(
      LogLines(), {"Data (channel: " + std::to_string(DataChannel()) + ", size: 5): \"" + block +
                       "\"",
                   "Virtual channel - Execute: \"" + block + "\""}));
}

TEST_P(Delivery, BytesThroughANullPointerAreTheEmptyText) {
  ASSERT_TRUE(engine_.WriteRaw(kDataChannelName, nullptr, 5));
  PollAsTheEngineWould();
  ExpectOneSend("ERROR|Unknown command \"\"");
  EXPECT_TRUE(ContainsInOrder(
      LogLines(), {"Data (channel: " + std::to_string(DataChannel()) + ", size: 5): \"\"",
                   "Virtual channel - Execute: \"\""}));
}

TEST_P(Delivery, CloseLeavesThePendingResponseAndTheInterpreter) {
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Init|simspectro|"));
  engine_.Poll();
  engine_.ClearSent();
  // In high-performance mode a response is pending only after a failed send.
  if (Hpc()) engine_.ScriptSendStatuses({1016});
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_EQ(engine_.Close(), 0);
  EXPECT_TRUE(LineMatches(LogLines().back(), Stamped("ICA: Driver Close")));
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Sent().back().bytes, "OK|Hello");

  // The library loaded before the close still answers.
  ASSERT_TRUE(engine_.Write(kDataChannelName, "IsConnected"));
  engine_.Poll();
  EXPECT_EQ(engine_.Sent().back().bytes.rfind("OK|", 0), 0u) << engine_.Sent().back().bytes;
}

TEST_P(Delivery, UnhandledExceptionBecomesAnErrorResponse) {
  // On 32-bit Windows the throw aborts and the call is cut short: a copy of
  // the test's own, so that the next mode's test does not meet it abandoned.
  const std::string name = OwnCopyOfRecordingLibrary();
  RecordingLibrary recording(name);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Init|" + name + "|"));
  engine_.Poll();
  engine_.ClearSent();
  recording.SetThrow(RecordingLibrary::kInt);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Connect"));
  PollAsTheEngineWould();
  ExpectOneSend("ERROR|Unhandled exception");
  EXPECT_TRUE(ContainsInOrder(LogLines(), {"Virtual channel - Execute: \"Connect\"",
                                           "Virtual channel - Unhandled exception",
                                           "Response: \"ERROR|Unhandled exception\""}));
  // The module goes on answering.
  engine_.ClearSent();
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  PollAsTheEngineWould();
  ExpectOneSend("OK|Hello");
}

TEST_P(Delivery, SimulatedInstrumentAnswersThroughTheModule) {
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Init|simspectro|"));
  PollAsTheEngineWould();
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].bytes.rfind("OK", 0), 0u) << engine_.Sent()[0].bytes;
}

// ---- Normal mode only ----

class NormalDelivery : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    OpenWithVersion(0);
  }
};

TEST_F(NormalDelivery, TwoCommandsBetweenPollsSendOnlyTheSecondResponse) {
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Nope"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Poll(), 21);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].bytes, "ERROR|Unknown command \"Nope\"");
}

TEST_F(NormalDelivery, LongResponseIsSentWhole) {
  const std::string name(65500, 'x');
  ASSERT_TRUE(engine_.Write(kDataChannelName, name));
  EXPECT_EQ(engine_.Poll(), 0);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].bytes, "ERROR|Unknown command \"" + name + "\"");
}

// ---- High-performance mode only ----

class HpcDelivery : public ModuleTest {
 protected:
  // The unknown-command answer to a name of this many characters, and its length.
  static std::string AnswerTo(std::size_t nameLength) {
    return "ERROR|Unknown command \"" + std::string(nameLength, 'y') + "\"";
  }
};

TEST_F(HpcDelivery, ResponseLongerThan65535BytesGoesThroughTheQueuedWrite) {
  OpenWithVersion(1);
  const std::size_t longest = 65535 - AnswerTo(0).size();
  ASSERT_EQ(AnswerTo(longest).size(), 65535u);

  // The longest response that fits the direct send's length goes direct.
  ASSERT_TRUE(engine_.Write(kDataChannelName, std::string(longest, 'y')));
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].path, SendPath::kDirectSend);
  EXPECT_EQ(engine_.Sent()[0].bytes, AnswerTo(longest));

  // One byte more goes whole through the queued write, from the data-arrival
  // procedure all the same.
  engine_.ClearSent();
  ASSERT_TRUE(engine_.Write(kDataChannelName, std::string(longest + 1, 'y')));
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].path, SendPath::kQueuedWrite);
  EXPECT_EQ(engine_.Sent()[0].channel, DataChannel());
  EXPECT_EQ(engine_.Sent()[0].bytes.size(), 65536u);
  EXPECT_EQ(engine_.Sent()[0].bytes, AnswerTo(longest + 1));
  EXPECT_EQ(engine_.Poll(), 21);
  const std::vector<std::string> tail =
      LinesFrom(LogLines(), "Data (channel: " + std::to_string(DataChannel()) +
                                ", size: " + std::to_string(longest + 1) + "): \"" +
                                std::string(longest + 1, 'y') + "\"");
  EXPECT_TRUE(ContainsInOrder(tail, {"Is HPC --> Send data direct",
                                     Stamped("ICA: SendData - Data available"),
                                     "  Post response for sending", "Clear response buffer"}));
  EXPECT_EQ(CountLines(tail, "  Send HPC"), 0);
}

TEST_F(HpcDelivery, MissingDirectSendEntryPointIsNeverCalled) {
  engine_.SetSupplyDirectSend(false);
  OpenWithVersion(1);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), "Is HPC --> Send data direct"),
                       {"Is HPC --> Send data direct", Stamped("ICA: SendData - Data available"),
                        "Virtual channel  - Pending response: \"OK|Hello\"", "  Send HPC",
                        "Error sending response (Error: 1011)"}));
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_TRUE(engine_.Sent().empty());
}

}  // namespace

}  // namespace vdqrn
