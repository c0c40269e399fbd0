// The engine's open: module lookups, the two channels with their write hooks,
// the winstation driver's version and high-performance mode, and each way the
// open can fail.
#include <cstring>

#include "module_test.h"

namespace vdqrn {

namespace {

using engine_sim::kCommandChannelName;
using engine_sim::kDataChannelName;
using engine_sim::WdCall;

class ModuleOpen : public ModuleTest {};

// The size value every channel open returns: the engine's, by target width.
constexpr std::uint16_t kOpenSizeValue = sizeof(void*) == 8 ? 48 : 24;

// A module built with the first 64-bit layout handed over a 64-byte write-hook
// record, 16 bytes short of the engine's: the engine simulator must refuse it
// untouched instead of filling it in, so that such a module fails its tests.
TEST_F(ModuleOpen, EngineRefusesAWriteHookRecordOfAnOldLayout) {
  OpenWithVersion(0);
  const std::uint16_t shortLength = sizeof(ica::WriteHookRecord) - 16;
  // The record's own type, for its alignment (ARM faults on a misaligned
  // one), filled with a pattern that shows any byte written.
  ica::WriteHookRecord storage;
  std::memset(static_cast<void*>(&storage), 0x5A, sizeof storage);
  auto* hook = &storage;
  const auto record = [&storage] {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&storage);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof storage);
  };
  hook->usChannel = engine_.ChannelNumber(kDataChannelName);
  hook->pVdData = const_cast<ica::DriverRecord*>(engine_.Driver());
  hook->pfnWriteHook = engine_.WriteHook(kDataChannelName)->pfnWriteHook;
  const std::vector<std::uint8_t> before = record();

  ica::WdInformation information{};
  information.ulInformationClass = ica::kClassWriteHook;
  information.pBuffer = &storage;
  information.usBufferLength = shortLength;
  std::uint16_t size = sizeof information;
  EXPECT_EQ(engine_.OnWdSet(&information, &size), ica::kStatusBufferTooSmall);
  EXPECT_EQ(record(), before);
  ASSERT_EQ(engine_.Violations().size(), 1u);
  EXPECT_EQ(engine_.Violations()[0], "class 10 buffer length: " + std::to_string(shortLength) +
                                         " (expected " +
                                         std::to_string(sizeof(ica::WriteHookRecord)) + ")");
  engine_.ClearViolations();
}

TEST_F(ModuleOpen, LooksUpTheSeventeenEngineModulesInOrder) {
  OpenWithVersion(0);
  const std::vector<std::string> expected = {
      "CTXMEM", "CTXMODULE", "CTXCLIB", "CTXMOUSE", "CTXTMR",        "CTXLOG",  "CTXMEMINI",
      "CTXKBD", "CTXOS",     "CTXWND",  "CTXENG",   "VP.LIB.SUBLST", "CTXFILE", "CTXPATH",
      "CTXGRAPH", "CTXSCA",  "CTXMMA"};
  EXPECT_EQ(engine_.LookedUpModules(), expected);

  // Every open looks them up again.
  ASSERT_EQ(engine_.Open(), 0);
  EXPECT_EQ(engine_.LookedUpModules().size(), 34u);
}

TEST_F(ModuleOpen, NormalModeOpensBothChannelsAndHooksThem) {
  engine_.SetChannelMask(0x24);
  OpenWithVersion(0);

  EXPECT_EQ(engine_.ChannelOpenRequests(),
            (std::vector<std::string>{kCommandChannelName, kDataChannelName}));
  const std::vector<WdCall> expected = {{6, 33}, {7, 10}, {6, 33}, {7, 10}, {6, 86}};
  EXPECT_EQ(engine_.WdCalls(), expected);
  EXPECT_TRUE(engine_.HasWriteHook(kCommandChannelName));
  EXPECT_TRUE(engine_.HasWriteHook(kDataChannelName));
  EXPECT_EQ(engine_.OpenSizeValue(), kOpenSizeValue);
  EXPECT_EQ(engine_.Driver()->ulChannelMask, 0x24u);
  EXPECT_EQ(engine_.Driver()->uptrChannelValue, 0u);

  const std::string driver = PointerText(engine_.Driver());
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: Driver Open")),
                       {Stamped("ICA: Driver Open"),
                        Stamped("ICA: Open command channel"),
                        Stamped("ICA: Open channel \"QrnCmd1\""),
                        "Registering write hook for channel number=" +
                            std::to_string(CommandChannel()) + " vdwh.pVdData=" + driver,
                        "Command Channel successfully registered",
                        Stamped("ICA: Open data channel"),
                        Stamped("ICA: Open channel \"QrnDta1\""),
                        "Registering write hook for channel number=" +
                            std::to_string(DataChannel()) + " vdwh.pVdData=" + driver,
                        "Check WinStationDriver version",
                        "HPC: 0",
                        "Data Channel successfully registered (Channel nr: " +
                            std::to_string(DataChannel()) + ")"}));
}

TEST_F(ModuleOpen, NonZeroVersionSetsHighPerformancePropertiesOnce) {
  OpenWithVersion(4);
  const std::vector<WdCall> expected = {{6, 33}, {7, 10}, {6, 33}, {7, 10}, {6, 86}, {7, 92}};
  EXPECT_EQ(engine_.WdCalls(), expected);
  ASSERT_EQ(engine_.HpcPropertiesCalls().size(), 1u);
  const engine_sim::HpcProperties& properties = engine_.HpcPropertiesCalls()[0];
  // The context is the one the engine gave with the data channel's write hook.
  EXPECT_EQ(properties.context, engine_.WriteHook(kDataChannelName)->pWd);
  EXPECT_EQ(properties.options, 1u);
  EXPECT_EQ(properties.version, 1);
  EXPECT_TRUE(ContainsInOrder(
      LogLines(), {"Check WinStationDriver version", "HPC: 1",
                   "WdSet_HPC_Properties Version=1 ulVdOptions=1 g_pWd=" +
                       PointerText(properties.context),
                   "Data Channel successfully registered (Channel nr: " +
                       std::to_string(DataChannel()) + ")"}));
}

TEST_F(ModuleOpen, CommandChannelRefusedEndsTheOpenBeforeTheDataChannel) {
  engine_.SetChannelMask(7);
  engine_.FailChannelOpen(kCommandChannelName, 1234);
  EXPECT_EQ(engine_.Open(), 1234);
  EXPECT_EQ(engine_.ChannelOpenRequests(), std::vector<std::string>{kCommandChannelName});
  EXPECT_EQ(engine_.OpenSizeValue(), kOpenSizeValue);
  // A failed open still hands the channel mask over.
  EXPECT_EQ(engine_.Driver()->ulChannelMask, 7u);
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: Driver Open")),
                       {Stamped("ICA: Driver Open"), Stamped("ICA: Open command channel"),
                        Stamped("ICA: Open channel \"QrnCmd1\""),
                        "Could not open channel \"QrnCmd1\", Result: 1234"}));
}

TEST_F(ModuleOpen, DataChannelRefusedEndsTheOpenWithItsStatus) {
  engine_.FailChannelOpen(kDataChannelName, 1717);
  EXPECT_EQ(engine_.Open(), 1717);
  EXPECT_EQ(engine_.ChannelOpenRequests(),
            (std::vector<std::string>{kCommandChannelName, kDataChannelName}));
  EXPECT_EQ(engine_.OpenSizeValue(), kOpenSizeValue);
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines.back(), "Could not open channel \"QrnDta1\", Result: 1717");
  EXPECT_EQ(CountLines(lines, "Check WinStationDriver version"), 0);
}

TEST_F(ModuleOpen, LinkWithoutProcedureTableGives1011) {
  engine_.SetWdProcedureTablePresent(false);
  EXPECT_EQ(engine_.Open(), 1011);
  EXPECT_TRUE(engine_.WdCalls().empty());
  EXPECT_EQ(LogLines().back(), "Could not open channel \"QrnCmd1\", Result: 1011");
}

TEST_F(ModuleOpen, FailedVersionQueryLogsAnEmptyLastError) {
  engine_.FailVersionQuery(55);
  EXPECT_EQ(engine_.Open(), 55);
  EXPECT_TRUE(engine_.HpcPropertiesCalls().empty());
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), "Check WinStationDriver version"),
                       {"Check WinStationDriver version",
                        "Error checking the WinStationDriver! channel number=" +
                            std::to_string(DataChannel()) + " result=55",
                        Stamped("ICA: Driver GetLastError"), "Last error: \"\""}));

  // The data channel was never handed over: a response has nowhere to go
  // and stays pending.
  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_TRUE(engine_.Sent().empty());
}

TEST_F(ModuleOpen, RefusedHighPerformancePropertiesEndTheOpenWithTheirStatus) {
  engine_.FailHpcProperties(77);
  engine_.SetWdVersion(1);
  EXPECT_EQ(engine_.Open(), 77);
  EXPECT_EQ(engine_.HpcPropertiesCalls().size(), 1u);
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines.back(), "WdSet_HPC_Properties failed, Result=77");
  EXPECT_EQ(CountLines(lines, "Data Channel successfully registered (Channel nr: " +
                                  std::to_string(DataChannel()) + ")"),
            0);
}

TEST_F(ModuleOpen, RefusedDataChannelHookLeavesNoEntryPointToCall) {
  // The engine leaves a queued write entry point in the refused record; the
  // module must not take it.
  engine_.FailWriteHook(kDataChannelName, 42);
  OpenWithVersion(0);
  EXPECT_TRUE(ContainsInOrder(LogLines(),
                              {"Could not register write hook for channel number=" +
                                   std::to_string(DataChannel()) + " result=42",
                               "Check WinStationDriver version", "HPC: 0",
                               "Data Channel successfully registered (Channel nr: " +
                                   std::to_string(DataChannel()) + ")"}));

  ASSERT_TRUE(engine_.Write(kCommandChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 1011);
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_TRUE(LinesAre(LinesFrom(LogLines(), Stamped("ICA: SendData - Data available")),
                       {Stamped("ICA: SendData - Data available"),
                        "Virtual channel  - Pending response: \"OK|Hello\"",
                        "  Post response for sending", "Error sending response (Error: 1011)"}));
  // Kept for the next poll.
  EXPECT_EQ(engine_.Poll(), 1011);
}

TEST_F(ModuleOpen, RefusedCommandChannelHookDoesNotStopTheOpen) {
  engine_.FailWriteHook(kCommandChannelName, 9);
  OpenWithVersion(0);
  EXPECT_FALSE(engine_.HasWriteHook(kCommandChannelName));
  EXPECT_TRUE(ContainsInOrder(LogLines(), {"Could not register write hook for channel number=" +
                                               std::to_string(CommandChannel()) + " result=9",
                                           "Command Channel successfully registered"}));
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_EQ(engine_.Poll(), 0);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].bytes, "OK|Hello");
}

TEST_F(ModuleOpen, EveryOpenDecidesHighPerformanceModeAfresh) {
  OpenWithVersion(2);
  engine_.SetWdVersion(0);
  ASSERT_EQ(engine_.Open(), 0);
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_EQ(engine_.Poll(), 0);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].path, engine_sim::SendPath::kQueuedWrite);
}

TEST_F(ModuleOpen, FailedReopenClearsTheImmediateSend) {
  OpenWithVersion(1);
  engine_.FailVersionQuery(3);
  EXPECT_EQ(engine_.Open(), 3);
  // The data-arrival procedure no longer sends at once; the poll sends the
  // response the way the last successful open set up.
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Hello"));
  EXPECT_TRUE(engine_.Sent().empty());
  EXPECT_EQ(engine_.Poll(), 0);
  ASSERT_EQ(engine_.Sent().size(), 1u);
  EXPECT_EQ(engine_.Sent()[0].path, engine_sim::SendPath::kDirectSend);
}

}  // namespace

}  // namespace vdqrn
