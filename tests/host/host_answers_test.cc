// A 32-bit instrument library behind this build's 64-bit module, through the
// 32-bit instrument host: every command gives the answer, and makes the
// library calls, that the same library gives in process: flags, numbers,
// floats of every kind, texts (null, long, any byte), conversions, missing
// parameters, exceptions and a library that lacks an export.
#include <filesystem>
#include <functional>

#include "exchanges.h"
#include "host_support.h"
#include "module_test.h"
#include "recording_controls.h"

namespace vdqrn {
namespace {

using engine_sim::kDataChannelName;

struct Step {
  std::function<void(RecordingLibrary&)> script;
  const char* command;
};

void Defaults(RecordingLibrary&) {}

const std::vector<Step>& Steps() {
  static const float kFloats[] = {0.1f, -1e-7f, 3.4e38f, 1.17549435e-38f, 1e-45f, 123456.7f};
  static const std::vector<Step> steps = [] {
    std::vector<Step> all = {
        {Defaults, "Connect"}, {Defaults, "Disconnect"}, {Defaults, "IsConnected"},
        {Defaults, "SetLanguage|1031|"}, {Defaults, "GetSerialNumber"}, {Defaults, "GetAngles"},
        {Defaults, "GetWavelengths"}, {Defaults, "GetAngleValue|2|"},
        {Defaults, "GetWavelengthValue|30|"}, {Defaults, "GetLastErrorCode"},
        {Defaults, "GetLastErrorString"}, {Defaults, "Measure"}, {Defaults, "IsDataReady"},
        {Defaults, "GetSpectralData|0|5|"}, {Defaults, "GetSpectralDataAll|1|"},
        {Defaults, "ClearSamples"}, {Defaults, "GetSampleCount"},
        {Defaults, "SetCurrentSample|3|"}, {Defaults, "GetSampleData|1|2|"},
        {Defaults, "GetCalStatus"}, {Defaults, "Calibrate"}, {Defaults, "GetCalSteps"},
        {Defaults, "GetCalMode|x|"}, {Defaults, "CalibrateStep|White Tile|"},
        {Defaults, "GetCalProgress"}, {Defaults, "AbortCalibration"}, {Defaults, "Configure"},
        {Defaults, "GetAvailableSettings"}, {Defaults, "GetSettingOptions|Aperture|"},
        {Defaults, "GetOption|Aperture|"}, {Defaults, "SetOption|Aperture|SAV|"},
        {Defaults, "Execute|status now|"}, {Defaults, "Hello"},
        // Conversions and parameter checks, before and without a call.
        {Defaults, "SetLanguage|65535|"}, {Defaults, "SetLanguage|65536|"},
        {Defaults, "SetLanguage|-1|"}, {Defaults, "GetSpectralData|x|1|"},
        {Defaults, "SetCurrentSample|2147483647|"}, {Defaults, "GetOption"},
        {Defaults, "GetSpectralData|-2147483648|-1|"},
        // Flags, numbers and texts as the library returns them.
        {[](RecordingLibrary& r) { r.SetBool(false); }, "Connect"},
        {[](RecordingLibrary& r) { r.SetBool(false); }, "SetOption|a|b|"},
        {[](RecordingLibrary& r) { r.SetInt(-5); }, "GetAngles"},
        {[](RecordingLibrary& r) { r.SetInt(2147483647); }, "GetWavelengthValue|1|"},
        {[](RecordingLibrary& r) { r.SetText(nullptr); }, "GetSerialNumber"},
        {[](RecordingLibrary& r) { r.SetText(nullptr); }, "Execute|x|"},
        {[](RecordingLibrary& r) { r.SetText(""); }, "GetCalMode|x|"},
        {[](RecordingLibrary& r) { r.SetText("a|b\x01\xff;c"); }, "GetOption|\xe9t\xe9|"},
        {[](RecordingLibrary& r) { r.SetText(std::string(70000, 'L').c_str()); },
         "GetAvailableSettings"},
    };
    // A bool is its low byte: any non-zero byte is true, as a library of
    // another compiler returns a Windows BOOL.
    for (const unsigned char low : {2, 0x80, 0xFF}) {
      for (const char* command :
           {"Connect", "Disconnect", "IsConnected", "SetLanguage|1|", "Measure", "IsDataReady",
            "Calibrate", "CalibrateStep|White|", "AbortCalibration", "ClearSamples",
            "SetCurrentSample|1|", "Configure", "SetOption|a|b|"}) {
        all.push_back({[low](RecordingLibrary& r) { r.SetBoolByte(low); }, command});
      }
    }
    for (const float value : kFloats) {
      all.push_back({[value](RecordingLibrary& r) { r.SetFloat(value); }, "GetSpectralData|0|1|"});
      all.push_back({[value](RecordingLibrary& r) { r.SetFloat(-value); }, "GetSampleData|0|1|"});
      all.push_back({[value](RecordingLibrary& r) { r.SetFloat(value); }, "GetSpectralDataAll|0|"});
    }
    return all;
  }();
  return steps;
}

class HostAnswers : public ModuleTest, public ::testing::WithParamInterface<std::uint16_t> {
 protected:
  void SetUp() override {
    VDQRN_SKIP_WITHOUT_HOST();
    ASSERT_TRUE(recording_.IsLoaded());
    ModuleTest::SetUp();
    OpenWithVersion(GetParam());
  }

  // A command and the engine's next poll; the one response the host got.
  std::string RoundTrip(const std::string& command) {
    engine_.ClearSent();
    if (!engine_.Write(kDataChannelName, command)) return "(no write hook)";
    if (GetParam() == 0) engine_.Poll();
    EXPECT_EQ(engine_.Poll(), 21) << command;
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes
                                      : "(sent " + std::to_string(engine_.Sent().size()) + " times)";
  }

  // Every step against the library: its answer, then the calls it made.
  std::vector<std::string> Session(const std::string& library) {
    std::vector<std::string> record = {RoundTrip("Init|" + library + "|")};
    for (const Step& step : Steps()) {
      recording_.Reset();
      step.script(recording_);
      record.push_back(step.command + std::string(" -> ") + RoundTrip(step.command));
      record.push_back(recording_.Journal());
    }
    return record;
  }

  SharedRecordingState state_;
  RecordingLibrary recording_;
};

INSTANTIATE_TEST_SUITE_P(Modes, HostAnswers, ::testing::Values(0, 1), ModeName);

TEST_P(HostAnswers, EveryCommandAnswersAndCallsAsInProcess) {
  const std::vector<std::string> inProcess = Session("recordingspectro");
  const std::vector<std::string> throughHost = Session("recordingspectro32");
  ASSERT_EQ(throughHost.size(), inProcess.size());
  for (std::size_t i = 0; i < inProcess.size(); ++i) {
    EXPECT_EQ(throughHost[i], inProcess[i]) << "step " << i;
  }
  EXPECT_EQ(HostProcessIds(LogLines()).size(), 1u);
}

TEST_P(HostAnswers, AnyNonZeroLowByteIsTrueAsInProcess) {
  for (const char* library : {"recordingspectro", "recordingspectro32"}) {
    ASSERT_EQ(RoundTrip(std::string("Init|") + library + "|"), "OK");
    recording_.SetBoolByte(2);
    EXPECT_EQ(RoundTrip("Connect"), "OK|true") << library;
    recording_.SetBoolByte(0);
    EXPECT_EQ(RoundTrip("Connect"), "OK|false") << library;
  }
  // The host answered every call: it is the one started.
  EXPECT_EQ(HostProcessIds(LogLines()).size(), 1u);
  EXPECT_EQ(RoundTrip("IsConnected"), "OK|false");
}

#if !defined(_WIN32)
// The module was loaded as "./name": its folder is where it was found then,
// not the current directory at Init, where a host of someone else's may lie.
TEST_P(HostAnswers, TheHostComesFromTheModulesFolderWhateverTheCurrentDirectory) {
  namespace fs = std::filesystem;
  TestDirectory elsewhere;
  const fs::path bin = fs::current_path();
  fs::copy_file(bin / "recordingspectro32.so", fs::path(elsewhere.Path()) / "recordingspectro32.so");
  fs::copy_file(bin / "garbagehost", fs::path(elsewhere.Path()) / "qrnhost32");
  fs::current_path(elsewhere.Path());
  const std::string answer = RoundTrip("Init|recordingspectro32|");
  const std::string connected = RoundTrip("Connect");
  fs::current_path(bin);
  EXPECT_EQ(answer, "OK");
  EXPECT_EQ(connected, "OK|true");
}
#endif

TEST_P(HostAnswers, ExceptionsInTheLibraryAreAnsweredAsInProcess) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  const std::string reasonAnswer = HostReasonsAreReadable()
                                       ? "ERROR|Error executing command \"Measure\" (recorded failure)"
                                       : "ERROR|Unhandled exception";
  const std::string nullReasonAnswer = HostReasonsAreReadable()
                                           ? "ERROR|Error executing command \"Measure\" ()"
                                           : "ERROR|Unhandled exception";
  const struct {
    RecordingLibrary::Throw kind;
    std::string answer;
  } cases[] = {{RecordingLibrary::kInt, "ERROR|Unhandled exception"},
               {RecordingLibrary::kUnrelatedClass, "ERROR|Unhandled exception"},
               {RecordingLibrary::kRuntimeError, reasonAnswer},
               {RecordingLibrary::kNullWhat, nullReasonAnswer}};
  // Where our compiler's exceptions cannot leave the library (32-bit
  // Windows), its runtime aborts: the call is cut short, and the library
  // answers again only after the next Init.
  const auto initAgainIfCutShort = [&] {
    if (HostReasonsAreReadable()) return;
    EXPECT_EQ(RoundTrip("Connect"), "ERROR|Driver call cut short earlier, send Init again");
    ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  };
  for (const auto& each : cases) {
    // There the library's own runtime, ending the process's first throw,
    // prints the null reason and crashes: a crash, answered as such
    // elsewhere.
    if (!HostReasonsAreReadable() && each.kind == RecordingLibrary::kNullWhat) continue;
    recording_.SetThrow(each.kind);
    EXPECT_EQ(RoundTrip("Measure"), each.answer) << each.kind;
    initAgainIfCutShort();
    // The list stops where the library threw, as in process: one call.
    recording_.Reset();
    recording_.SetThrow(each.kind);
    RoundTrip("GetSpectralDataAll|0|");
    EXPECT_EQ(recording_.Journal(), "GetSpectralData(0,0)\n") << each.kind;
    initAgainIfCutShort();
    recording_.SetThrow(RecordingLibrary::kNothing);
    EXPECT_EQ(RoundTrip("IsConnected"), "OK|true");
  }
}

TEST_P(HostAnswers, LibraryMissingAnExportIsRejectedWhole) {
  ASSERT_EQ(RoundTrip("Init|recordingspectro32|"), "OK");
  EXPECT_EQ(RoundTrip("Init|missingexport32|"),
            "ERROR|Error loading driver (\"missingexport32\") on client");
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|No driver loaded");
  EXPECT_EQ(recording_.Journal(), "");
  // Each library had a host of its own; both have ended.
  const std::vector<long> ids = HostProcessIds(LogLines());
  ASSERT_EQ(ids.size(), 2u);
  for (const long id : ids) EXPECT_TRUE(ProcessIsGone(id)) << id;
  EXPECT_EQ(CountLines(LogLines(), Stamped("Instrument host stopped (exit code 0)")), 2);
}

}  // namespace
}  // namespace vdqrn
