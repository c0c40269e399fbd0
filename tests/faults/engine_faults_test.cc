// The engine misbehaves: it refuses sends for a long time and with any code,
// refuses write-hook registrations, or hands over tables with procedures
// missing. No response is lost, none arrives twice or cut, and the module
// never calls what the engine did not give it.
#include "module_test.h"
#include "exchanges.h"

namespace vdqrn {

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;
using engine_sim::SendPath;

class RefusedSends : public ModuleTest, public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    OpenWithVersion(GetParam());
  }
  bool Hpc() const { return GetParam() != 0; }
  // What a poll answers when the engine's send answered the status.
  static std::int32_t PollAnswer(std::int32_t status) { return status == 1016 ? 30 : status; }
};

INSTANTIATE_TEST_SUITE_P(Modes, RefusedSends, ::testing::Values(0, 1),
                         ModeName);

TEST_P(RefusedSends, ResponseArrivesOnceAndWholeAfterManyRefusals) {
  // 300 polls of a busy engine, then 300 of other refusals, among them the
  // poll's own answers 21 and 30; then the engine takes it.
  std::vector<std::int32_t> statuses(300, 1016);
  const std::int32_t others[] = {1011, 7, -1, 21, 30, 0x7FFFFFFF, 1004, 1016};
  for (int i = 0; i < 300; ++i) statuses.push_back(others[i % 8]);
  engine_.ScriptSendStatuses(statuses);

  const std::string name(4000, 'n');
  const std::string response = "ERROR|Unknown command \"" + name + "\"";
  ASSERT_TRUE(engine_.Write(kCommandChannelName, name));
  // High-performance mode makes the first attempt from the write itself.
  for (std::size_t i = Hpc() ? 1 : 0; i < statuses.size(); ++i) {
    ASSERT_EQ(engine_.Poll(), PollAnswer(statuses[i])) << "poll " << i;
  }
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Poll(), 21);
  EXPECT_EQ(engine_.Poll(), 21);

  ASSERT_EQ(engine_.Sent().size(), statuses.size() + 1);
  for (const engine_sim::SentData& sent : engine_.Sent()) {
    ASSERT_EQ(sent.bytes, response);
    EXPECT_EQ(sent.channel, DataChannel());
    EXPECT_EQ(sent.path, Hpc() ? SendPath::kDirectSend : SendPath::kQueuedWrite);
  }
  EXPECT_EQ(AcceptedSends(engine_.Sent(), statuses), std::vector<std::string>{response});
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(CountLines(lines, "Error sending response (Error: 1016)"), 300 + 300 / 8);
  EXPECT_EQ(CountLines(lines, "Error sending response (Error: 21)"), 300 / 8 + 1);
  EXPECT_EQ(CountLines(lines, "Clear response buffer"), 1);
}

TEST_P(RefusedSends, ResponseReplacedWhileRefusedNeverArrives) {
  const std::vector<std::int32_t> statuses = {1016, 7};
  engine_.ScriptSendStatuses(statuses);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "First"));
  if (!Hpc()) {
    EXPECT_EQ(engine_.Poll(), 30);
    EXPECT_EQ(engine_.Poll(), 7);
  }
  // The newer command replaces the refused response; in high-performance
  // mode its own first attempt is refused with 7.
  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 0);
  EXPECT_EQ(engine_.Poll(), 21);

  const std::vector<std::string> accepted = AcceptedSends(engine_.Sent(), statuses);
  EXPECT_EQ(accepted, std::vector<std::string>{"OK|Hello"});
  // The first response was tried, never taken, and not tried again.
  int firstAttempts = 0;
  for (const engine_sim::SentData& sent : engine_.Sent()) {
    firstAttempts += sent.bytes == "ERROR|Unknown command \"First\"" ? 1 : 0;
  }
  EXPECT_EQ(firstAttempts, Hpc() ? 1 : 2);
}

// ---- Write-hook registration refused ----

class RefusedWriteHooks : public ModuleTest {};

TEST_F(RefusedWriteHooks, BothRefusedLeaveAnOpenModuleThatNothingReaches) {
  engine_.FailWriteHook(kCommandChannelName, 5);
  engine_.FailWriteHook(kDataChannelName, 6);
  OpenWithVersion(0);
  EXPECT_FALSE(engine_.Write(kCommandChannelName, "Hello"));
  EXPECT_FALSE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 21);
  EXPECT_TRUE(ContainsInOrder(
      LogLines(),
      {"Could not register write hook for channel number=" + std::to_string(CommandChannel()) +
           " result=5",
       "Command Channel successfully registered",
       "Could not register write hook for channel number=" + std::to_string(DataChannel()) +
           " result=6",
       "Data Channel successfully registered (Channel nr: " + std::to_string(DataChannel()) +
           ")"}));
}

TEST_F(RefusedWriteHooks, HighPerformanceModeWithoutTheDataChannelContextSendsNothing) {
  // The engine gave a direct send entry point with its version, but the
  // context it fills in with the data channel's hook was never handed over:
  // the module must not call the engine with a context it never gave.
  engine_.FailWriteHook(kDataChannelName, 42);
  OpenWithVersion(1);
  ASSERT_EQ(engine_.HpcPropertiesCalls().size(), 1u);
  EXPECT_EQ(engine_.HpcPropertiesCalls()[0].context, nullptr);

  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Hello"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_TRUE(engine_.Violations().empty()) << engine_.Violations().front();
  EXPECT_EQ(CountLines(LogLines(), "Error sending response (Error: 1011)"), 3);
}

// ---- Engine tables with procedures missing ----

class MissingEngineProcedures : public ::testing::Test {
 protected:
  void SetUp() override { engine_sim::SetModuleTempDirectory(directory_.Path()); }
  void TearDown() override {
    if (engine_.IsLoaded()) engine_.Unload();
    EXPECT_TRUE(engine_.Violations().empty());
  }
  void Load() { ASSERT_TRUE(engine_.LoadModule(ModulePath())) << engine_.LastError(); }
  // A command on the data channel and the engine's next poll, as seen by the host.
  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(kDataChannelName, command)) return "(no write hook)";
    engine_.Poll();
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "(nothing sent)";
  }

  TestDirectory directory_;
  engine_sim::Engine engine_;
};

TEST_F(MissingEngineProcedures, WithoutALibraryTableNoModuleIsLookedUp) {
  engine_.SetLibraryTablePresent(false);
  Load();
  ASSERT_EQ(engine_.Open(), 0);
  EXPECT_TRUE(engine_.LookedUpModules().empty());
  EXPECT_EQ(RoundTrip("Hello"), "OK|Hello");
}

TEST_F(MissingEngineProcedures, WithoutTheLookupProcedureNoModuleIsLookedUp) {
  engine_.SetLookupPresent(false);
  Load();
  ASSERT_EQ(engine_.Open(), 0);
  EXPECT_TRUE(engine_.LookedUpModules().empty());
  EXPECT_EQ(RoundTrip("Hello"), "OK|Hello");
}

TEST_F(MissingEngineProcedures, WithoutTheQueryProcedureNoChannelOpens) {
  engine_.SetWdProcedurePresent(ica::kWdQueryInformation, false);
  Load();
  EXPECT_EQ(engine_.Open(), 1011);
  EXPECT_TRUE(engine_.WdCalls().empty());
  EXPECT_EQ(RoundTrip("Hello"), "(no write hook)");
  EXPECT_EQ(engine_.Poll(), 21);
}

TEST_F(MissingEngineProcedures, WithoutTheSetProcedureNoHookIsRegistered) {
  engine_.SetWdProcedurePresent(ica::kWdSetInformation, false);
  Load();
  // Normal mode opens: a refused hook does not stop the open.
  EXPECT_EQ(engine_.Open(), 0);
  EXPECT_FALSE(engine_.HasWriteHook(kCommandChannelName));
  EXPECT_FALSE(engine_.HasWriteHook(kDataChannelName));
  EXPECT_EQ(RoundTrip("Hello"), "(no write hook)");
  // High-performance mode needs the procedure for its properties.
  engine_.SetWdVersion(1);
  EXPECT_EQ(engine_.Open(), 1011);
  EXPECT_TRUE(engine_.HpcPropertiesCalls().empty());
  EXPECT_EQ(engine_.Poll(), 21);
}

}  // namespace

}  // namespace vdqrn
