// The instrument library misbehaves: it lacks an export, returns null texts,
// or throws from its entry points, standard exceptions and others. Every
// command is still answered through the module, which goes on working.
#include "module_test.h"
#include "exchanges.h"
#include "recording_controls.h"

namespace vdqrn {

namespace {

using engine_sim::kDataChannelName;

// The module opened in a mode (the winstation driver's version) with the
// recording library loaded.
class RecordingModuleTest : public ModuleTest {
 protected:
  void Start(std::uint16_t version) {
    version_ = version;
    ASSERT_TRUE(recording_.IsLoaded());
    ModuleTest::SetUp();
    OpenWithVersion(version);
    ASSERT_EQ(RoundTrip("Init|recordingspectro|"), "OK");
    recording_.Reset();
  }
  // A command and the engine's next poll; the one response the host got.
  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(kDataChannelName, command)) return "(no write hook)";
    if (version_ == 0) {
      EXPECT_EQ(engine_.Poll(), 0) << command;
    }
    EXPECT_EQ(engine_.Poll(), 21) << command;
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "(sent " +
               std::to_string(engine_.Sent().size()) + " times)";
  }

  std::uint16_t version_ = 0;
  RecordingLibrary recording_;
};

class LibraryFaults : public RecordingModuleTest,
                      public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override { Start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Modes, LibraryFaults, ::testing::Values(0, 1),
                         ModeName);

TEST_P(LibraryFaults, LibraryMissingAnExportReplacesNothingAndLeavesNoLibrary) {
  EXPECT_EQ(RoundTrip("Init|missingexport|"),
            "ERROR|Error loading driver (\"missingexport\") on client");
  for (const char* command : {"Connect", "GetSerialNumber", "CalibrateStep|White|"}) {
    EXPECT_EQ(RoundTrip(command), "ERROR|No driver loaded") << command;
  }
  // Neither the earlier library nor the incomplete one was called.
  EXPECT_EQ(recording_.Journal(), "");
  EXPECT_EQ(RoundTrip("Init|recordingspectro|"), "OK");
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
}

TEST_P(LibraryFaults, NullTextsAreAnsweredAsEmpty) {
  recording_.SetText(nullptr);
  const char* const textCommands[] = {
      "GetSerialNumber",      "GetAngleValue|0|",      "GetCalSteps",
      "GetCalMode|x|",        "GetAvailableSettings", "GetSettingOptions|Aperture|",
      "GetOption|Aperture|",  "GetLastErrorString",   "Execute|Status|"};
  for (const char* command : textCommands) EXPECT_EQ(RoundTrip(command), "OK") << command;
  EXPECT_EQ(recording_.Journal(),
            "GetSerialNum()\nGetAngleValue(0)\nGetCalSteps()\nGetCalMode()\n"
            "GetAvailableSettings()\nGetSettingOptions(Aperture)\nGetOption(Aperture)\n"
            "GetLastErrorString()\nExecute(Status)\n");
}

// One command of each kind of entry point: flag, number, text, the list of
// 31 values, and a text passed through.
const char* const kThrowingCommands[] = {"Connect", "GetAngles", "GetSerialNumber",
                                         "GetSpectralDataAll|0|", "SetOption|a|b|",
                                         "Execute|x|"};

// Where our compiler's exceptions cannot leave the library (32-bit Windows),
// its runtime aborts: the first call is cut short and answered as the
// exception would be; every later library command answers that it needs
// Init, and the library is not called again.
const char kCutShortEarlier[] = "ERROR|Driver call cut short earlier, send Init again";
std::string AnswerAfterThrows(const std::string& answer, int throwsBefore) {
  return LibraryReasonsAreReadable() || throwsBefore == 0 ? answer : kCutShortEarlier;
}

TEST_P(LibraryFaults, ExceptionsOutsideTheStandardFamilyAreUnhandledExceptionAnswers) {
  int throws = 0;
  for (const RecordingLibrary::Throw kind :
       {RecordingLibrary::kInt, RecordingLibrary::kUnrelatedClass}) {
    recording_.SetThrow(kind);
    for (const char* command : kThrowingCommands) {
      EXPECT_EQ(RoundTrip(command), AnswerAfterThrows("ERROR|Unhandled exception", throws++))
          << command << " kind " << kind;
    }
  }
  EXPECT_EQ(CountLines(LogLines(), "Virtual channel - Unhandled exception"),
            LibraryReasonsAreReadable() ? 12 : 1);
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("Hello"), "OK|Hello");
  if (!LibraryReasonsAreReadable()) return;  // CutShortCalls goes on from here
  // The library stays loaded and answers once it stops throwing.
  recording_.SetText("SN-1");
  EXPECT_EQ(RoundTrip("GetSerialNumber"), "OK|SN-1");
}

TEST_P(LibraryFaults, StandardExceptionsAnswerWithTheirReason) {
  int throws = 0;
  recording_.SetThrow(RecordingLibrary::kRuntimeError);
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command),
              AnswerAfterThrows(StandardExceptionAnswer(command, "recorded failure"), throws++))
        << command;
  }
  // A reason given as a null pointer counts as the empty text.
  recording_.SetThrow(RecordingLibrary::kNullWhat);
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command), AnswerAfterThrows(StandardExceptionAnswer(command, ""), throws++))
        << command;
  }
  EXPECT_EQ(CountLines(LogLines(), "Virtual channel - Unhandled exception"),
            LibraryReasonsAreReadable() ? 0 : 1);
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("IsConnected"), AnswerAfterThrows("OK|true", throws));
}

// A library that pumps messages during a call (a dialog) lets the engine
// deliver the next command on the same thread, inside the call. That
// command is answered busy and not run (an Init would free the library
// under the call on the stack); the call goes on to its own answer.
engine_sim::Engine* g_engineDuringCall = nullptr;
void InitDuringTheCall() { g_engineDuringCall->Write(kDataChannelName, "Init|missingexport|"); }

TEST_P(LibraryFaults, ACommandArrivingDuringALibraryCallIsAnsweredBusyAndNotRun) {
  g_engineDuringCall = &engine_;
  recording_.SetReentry(&InitDuringTheCall);
  engine_.ClearSent();
  ASSERT_TRUE(engine_.Write(kDataChannelName, "Connect"));
  for (int poll = 0; poll < 3; ++poll) engine_.Poll();
  std::vector<std::string> sent;
  for (const auto& each : engine_.Sent()) sent.push_back(each.bytes);
  const std::string busy = "ERROR|Command \"Init\" refused, another command is still running";
  if (GetParam() != 0) {
    // Sent at once, each in its turn.
    EXPECT_EQ(sent, (std::vector<std::string>{busy, "OK|true"}));
  } else {
    // A pending response is replaced by the next one, as for any two
    // commands the host writes without waiting.
    EXPECT_EQ(sent, std::vector<std::string>{"OK|true"});
  }
  EXPECT_EQ(CountLines(LogLines(), Stamped("Command \"Init\" arrived while another runs: busy")), 1);
  EXPECT_EQ(recording_.Journal(), "Connect()\n");
  // The library is still the one loaded.
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
}

#if defined(_WIN32)
// What a library of another compiler or runtime raises that ours cannot
// catch: its C++ throw (0xE06D7363), an abort, Delphi's and C++Builder's
// exceptions; the last two cut short while holding the library's own lock.
class CutShortCalls : public RecordingModuleTest,
                      public ::testing::WithParamInterface<RecordingLibrary::Throw> {
 protected:
  void SetUp() override { Start(0); }
};
INSTANTIATE_TEST_SUITE_P(
    Kinds, CutShortCalls,
    ::testing::Values(RecordingLibrary::kForeign, RecordingLibrary::kAbort,
                      RecordingLibrary::kDelphi, RecordingLibrary::kBuilder,
                      RecordingLibrary::kLockAndAbort, RecordingLibrary::kLockAndThrowForeign),
    [](const ::testing::TestParamInfo<RecordingLibrary::Throw>& kind) {
      return "Kind" + std::to_string(static_cast<int>(kind.param));
    });

// The cut-short call is answered as an exception whose reason cannot be
// read. The library is not called in process again (a lock it held would
// hang the next call): every library command answers that it needs Init,
// at once. Init brings the same library back in an instrument host of this
// process's own architecture, where the session goes on, floating-point
// values included.
TEST_P(CutShortCalls, TheLibraryIsLeftAloneUntilInitThenRunsInAHost) {
  recording_.SetThrow(GetParam());
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|Unhandled exception");
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command), "ERROR|Driver call cut short earlier, send Init again")
        << command;
  }
  EXPECT_EQ(recording_.Journal(), "Connect()\n");
  EXPECT_EQ(CountLines(LogLines(), Stamped("Driver call cut short: the library is not called "
                                           "again until the next Init")),
            1);

  recording_.Reset();  // this copy's lock and script; the host's copy is its own
  ASSERT_EQ(RoundTrip("Init|recordingspectro|"), "OK");
  int movedToHost = 0;
  for (const std::string& line : LogLines()) {
    movedToHost += line.find("was cut short earlier: it loads in an instrument host") !=
                   std::string::npos;
  }
  EXPECT_EQ(movedToHost, 1);
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
  EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"),
            "OK|0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
  // Not a call more in this process.
  EXPECT_EQ(recording_.Journal(), "");
}
#endif

}  // namespace

}  // namespace vdqrn
