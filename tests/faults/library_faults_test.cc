// The instrument library misbehaves: it lacks an export, returns null texts,
// or throws from its entry points, standard exceptions and others. Every
// command is still answered through the module, which goes on working.
#include "module_test.h"
#include "exchanges.h"
#include "recording_controls.h"

namespace vdqrn {

namespace {

using engine_sim::kDataChannelName;

class LibraryFaults : public ModuleTest, public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(recording_.IsLoaded());
    ModuleTest::SetUp();
    OpenWithVersion(GetParam());
    ASSERT_EQ(RoundTrip("Init|recordingspectro|"), "OK");
    recording_.Reset();
  }
  // A command and the engine's next poll; the one response the host got.
  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(kDataChannelName, command)) return "(no write hook)";
    if (GetParam() == 0) {
      EXPECT_EQ(engine_.Poll(), 0) << command;
    }
    EXPECT_EQ(engine_.Poll(), 21) << command;
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "(sent " +
               std::to_string(engine_.Sent().size()) + " times)";
  }

  RecordingLibrary recording_;
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

TEST_P(LibraryFaults, ExceptionsOutsideTheStandardFamilyAreUnhandledExceptionAnswers) {
  for (const RecordingLibrary::Throw kind :
       {RecordingLibrary::kInt, RecordingLibrary::kUnrelatedClass}) {
    recording_.SetThrow(kind);
    for (const char* command : kThrowingCommands) {
      EXPECT_EQ(RoundTrip(command), "ERROR|Unhandled exception") << command << " kind " << kind;
    }
  }
  EXPECT_EQ(CountLines(LogLines(), "Virtual channel - Unhandled exception"), 12);
  // The library stays loaded and answers once it stops throwing.
  recording_.SetThrow(RecordingLibrary::kNothing);
  recording_.SetText("SN-1");
  EXPECT_EQ(RoundTrip("GetSerialNumber"), "OK|SN-1");
  EXPECT_EQ(RoundTrip("Hello"), "OK|Hello");
}

TEST_P(LibraryFaults, StandardExceptionsAnswerWithTheirReason) {
  recording_.SetThrow(RecordingLibrary::kRuntimeError);
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command), StandardExceptionAnswer(command, "recorded failure"))
        << command;
  }
  // A reason given as a null pointer counts as the empty text.
  recording_.SetThrow(RecordingLibrary::kNullWhat);
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command), StandardExceptionAnswer(command, "")) << command;
  }
  EXPECT_EQ(CountLines(LogLines(), "Virtual channel - Unhandled exception"),
            LibraryReasonsAreReadable() ? 0 : 12);
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
}

#if defined(_WIN32)
// A library built with another compiler: its C++ throw is an exception of the
// system (0xE06D7363) that our runtime's catch does not see, and its runtime
// may abort. Either is answered as an exception whose reason cannot be read,
// the library stays loaded, and the next command is answered normally, also
// one that reads floating-point values after a call that was cut short.
TEST_P(LibraryFaults, ForeignExceptionsAndAbortsAreAnsweredAndTheSessionGoesOn) {
  for (const RecordingLibrary::Throw kind :
       {RecordingLibrary::kForeign, RecordingLibrary::kAbort}) {
    recording_.Reset();
    recording_.SetThrow(kind);
    for (const char* command : kThrowingCommands) {
      EXPECT_EQ(RoundTrip(command), "ERROR|Unhandled exception") << command << " kind " << kind;
    }
    // Each command reached the library once and stopped at its first call.
    EXPECT_EQ(recording_.Journal(),
              "Connect()\nGetAngles()\nGetSerialNum()\nGetSpectralData(0,0)\n"
              "SetOption(a,b)\nExecute(x)\n");
    recording_.SetThrow(RecordingLibrary::kNothing);
    EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"),
              "OK|0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
    EXPECT_EQ(RoundTrip("Connect"), "OK|true");
  }
  EXPECT_EQ(CountLines(LogLines(), "Virtual channel - Unhandled exception"), 12);
}
#endif

}  // namespace

}  // namespace vdqrn
