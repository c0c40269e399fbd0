// The instrument library misbehaves: it lacks an export, returns null texts,
// or throws from its entry points, standard exceptions and others. Every
// command is still answered through the module, which goes on working.
#include "module_test.h"
#include "exchanges.h"
#include "recording_controls.h"
#include "platform/platform.h"
#include "test_directory.h"

#include <cctype>

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#endif

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
    ASSERT_EQ(RoundTrip("Init|" + library_ + "|"), "OK");
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
  const std::string library_ = OwnCopyOfRecordingLibrary();
  RecordingLibrary recording_{library_};
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
  EXPECT_EQ(RoundTrip("Init|" + library_ + "|"), "OK");
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
const char kCutShortEarlier[] =
    "ERROR|Driver call cut short earlier, send Init again (the library may still hold the "
    "instrument until the client is restarted)";
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
    // Sent at once, in the order the commands arrived: a host that pairs
    // answers with its commands by their order takes each for its own.
    EXPECT_EQ(sent, (std::vector<std::string>{"OK|true", busy}));
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
const char kAllZero[] = "OK|0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0";

// A language exception of another runtime (another compiler's C++ throw,
// Delphi's, C++Builder's) is thrown on purpose and unwinds the library's own
// frames: it is answered as an exception whose reason cannot be read, and the
// library stays in use in this process, also one that threw from a frame
// holding its lock (the unwinding gave it back).
class LanguageExceptions : public RecordingModuleTest,
                           public ::testing::WithParamInterface<RecordingLibrary::Throw> {
 protected:
  void SetUp() override { Start(0); }
};
INSTANTIATE_TEST_SUITE_P(Kinds, LanguageExceptions,
                         ::testing::Values(RecordingLibrary::kForeign, RecordingLibrary::kDelphi,
                                           RecordingLibrary::kBuilder,
                                           RecordingLibrary::kLockAndThrowForeign),
                         [](const ::testing::TestParamInfo<RecordingLibrary::Throw>& kind) {
                           return "Kind" + std::to_string(static_cast<int>(kind.param));
                         });

TEST_P(LanguageExceptions, AreAnsweredAndTheLibraryStaysInUse) {
  recording_.SetThrow(GetParam());
  for (const char* command : kThrowingCommands) {
    EXPECT_EQ(RoundTrip(command), "ERROR|Unhandled exception") << command;
  }
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
  EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"), kAllZero);
  const std::string journal = recording_.Journal();
  EXPECT_EQ(journal.rfind("Connect()\nGetAngles()\nGetSerialNum()\nGetSpectralData(0,0)\n"
                          "SetOption(a,b)\nExecute(x)\nConnect()\nGetSpectralData(0,0)\n",
                          0),
            0u)
      << journal;
  for (const std::string& line : LogLines()) {
    EXPECT_EQ(line.find("cut short"), std::string::npos) << line;
  }
}

// What means the library cannot go on: an abort (also holding the library's
// lock), an access violation holding it, an illegal instruction. The call is
// answered as an exception whose reason cannot be read; the library is not
// called in this process again (a lock it held would hang the next call):
// every library command says so at once, and that it may still hold the
// instrument.
class CutShortCalls : public RecordingModuleTest,
                      public ::testing::WithParamInterface<RecordingLibrary::Throw> {
 protected:
  void SetUp() override { Start(0); }
  void CutShort() {
    recording_.SetThrow(GetParam());
    EXPECT_EQ(RoundTrip("Connect"), "ERROR|Unhandled exception");
    for (const char* command : kThrowingCommands) {
      EXPECT_EQ(RoundTrip(command), kCutShortEarlier) << command;
    }
    EXPECT_EQ(recording_.Journal(), "Connect()\n");
    EXPECT_EQ(CountLines(LogLines(),
                         Stamped("Driver call cut short: the library is not called again in this "
                                 "process; it may still hold the instrument until the client is "
                                 "restarted")),
              1);
    recording_.Reset();  // this copy's script; the host's copy is its own
  }
  // Init under the name; then whether it went to a host and answers there,
  // with no call in this process.
  void ExpectRunsInAHost(const std::string& name) {
    const int before = MovedToHost();
    ASSERT_EQ(RoundTrip("Init|" + name + "|"), "OK") << name << "\n" << LastLines();
    EXPECT_EQ(MovedToHost(), before + 1) << name;
    EXPECT_EQ(RoundTrip("Connect"), "OK|true") << name;
    EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"), kAllZero) << name;
    EXPECT_EQ(recording_.Journal(), "") << name;
  }
  // The log's last lines, to show why a step failed.
  std::string LastLines() {
    const std::vector<std::string> lines = LogLines();
    std::string last;
    for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) {
      last += lines[i] + "\n";
    }
    return last;
  }
  int MovedToHost() {
    int moved = 0;
    for (const std::string& line : LogLines()) {
      moved += line.find("was cut short earlier: it loads in an instrument host") !=
               std::string::npos;
    }
    return moved;
  }
};
INSTANTIATE_TEST_SUITE_P(
    Kinds, CutShortCalls,
    ::testing::Values(RecordingLibrary::kAbort, RecordingLibrary::kLockAndAbort,
                      RecordingLibrary::kLockAndCrash, RecordingLibrary::kIllegalInstruction),
    [](const ::testing::TestParamInfo<RecordingLibrary::Throw>& kind) {
      return "Kind" + std::to_string(static_cast<int>(kind.param));
    });

// Init brings the same library back in an instrument host of this process's
// own architecture, where the session goes on, floating-point values
// included.
TEST_P(CutShortCalls, TheLibraryIsLeftAloneUntilInitThenRunsInAHost) {
  CutShort();
  ExpectRunsInAHost(library_);
}

// The abandonment outlives the module: an engine that unloads the module and
// loads it again in the same process gets the library, still pinned and
// mapped, in a host (called here, it would wait for the lock the cut-short
// call held).
TEST_P(CutShortCalls, TheLibraryRunsInAHostAfterTheModuleIsLoadedAgain) {
  CutShort();
  engine_.Close();
  engine_.Unload();
  ASSERT_TRUE(engine_.LoadModule(ModulePath())) << engine_.LastError();
  OpenWithVersion(0);
  ExpectRunsInAHost(library_);
}

// A client that itself holds the library mapped without its imports resolved
// (DONT_RESOLVE_DLL_REFERENCES) gets that mapping back from every load of
// the file, never started: the module does not call it (it answered OK and
// then crashed in Connect before), and runs the library in a host instead.
class HeldUnresolved : public ModuleTest {};

TEST_F(HeldUnresolved, TheLibraryRunsInAHost) {
  const std::string name = OwnCopyOfRecordingLibrary();
  const std::wstring file = std::wstring(name.begin(), name.end()) + L".dll";
  const HMODULE held = LoadLibraryExW(file.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(held, nullptr);
  OpenWithVersion(0);
  const auto roundTrip = [this](const std::string& command) {
    engine_.ClearSent();
    engine_.Write(kDataChannelName, command);
    engine_.Poll();
    engine_.Poll();
    return engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : std::string("(no answer)");
  };
  EXPECT_EQ(roundTrip("Init|" + name + "|"), "OK");
  const std::string located = platform::LocateLibrary((".\\" + name + ".dll").c_str());
  EXPECT_EQ(CountLines(LogLines(), Stamped("\"" + located +
                                           "\" is held in this process without its imports "
                                           "resolved: it loads in an instrument host")),
            1);
  EXPECT_EQ(roundTrip("Connect"), "OK|true");
  EXPECT_EQ(roundTrip("Init|nosuchlibrary|"),
            "ERROR|Error loading driver (\"nosuchlibrary\") on client");
  FreeLibrary(held);
}

// The library is what the system maps, whatever it is called: another
// case, a link to the same file and its short name all reach the module cut
// short, and each goes to a host (run here, it would wait for the lock).
TEST_P(CutShortCalls, AnotherNameForTheSameFileRunsInAHostToo) {
  CutShort();
  std::string upper = library_;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ExpectRunsInAHost(upper);
  const std::wstring file = std::wstring(library_.begin(), library_.end()) + L".dll";
  // The link in a folder of its own beside the library (a link stays on
  // its file's volume), made the current directory.
  wchar_t here[MAX_PATH];
  const std::wstring current(here, GetCurrentDirectoryW(MAX_PATH, here));
  // Folders of earlier runs whose link a host still held when they ended.
  for (const auto& entry : std::filesystem::directory_iterator(current)) {
    std::error_code ignored;
    if (entry.path().filename().wstring().rfind(L"linked-", 0) == 0) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
  const std::wstring elsewhere = current + L"\\linked-" + std::to_wstring(GetTickCount64());
  const std::wstring link = elsewhere + L"\\recordinglink.dll";
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), (current + L"\\" + file).c_str(), nullptr));
  ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.c_str()));
  ExpectRunsInAHost("recordinglink");
  SetCurrentDirectoryW(current.c_str());
  wchar_t shortName[MAX_PATH];
  const DWORD length = GetShortPathNameW(file.c_str(), shortName, MAX_PATH);
  const std::wstring name(shortName, length);
  if (length > 4 && name != file) {
    ExpectRunsInAHost(std::string(name.begin(), name.end() - 4));
  }
  EXPECT_EQ(RoundTrip("Init|nosuchlibrary|"),
            "ERROR|Error loading driver (\"nosuchlibrary\") on client");
  DeleteFileW(link.c_str());
  RemoveDirectoryW(elsewhere.c_str());
}

// The copy cut short keeps what it opened: here a file it opened for itself
// alone, as a library opens its instrument's serial port. The copy in the
// host then cannot connect, and the answer and the log say why.
class CutShortHoldingThePort : public RecordingModuleTest {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA("VDQRN_RECORDING_STATE", state_.Path().c_str());
    Start(0);
  }
  void TearDown() override { SetEnvironmentVariableA("VDQRN_RECORDING_STATE", nullptr); }
  TestDirectory state_;
};

TEST_F(CutShortHoldingThePort, AHostCannotConnectAndTheAnswerSaysWhy) {
  recording_.SetExclusiveFile(state_.Path() + "\\port");
  EXPECT_EQ(RoundTrip("Connect"), "OK|true");
  recording_.SetThrow(RecordingLibrary::kLockAndAbort);
  EXPECT_EQ(RoundTrip("IsConnected"), "ERROR|Unhandled exception");
  EXPECT_EQ(RoundTrip("Connect"), kCutShortEarlier);
  recording_.SetThrow(RecordingLibrary::kNothing);
  ASSERT_EQ(RoundTrip("Init|" + library_ + "|"), "OK");
  const std::string why =
      "Connect failed: a copy of the library cut short earlier may still hold the instrument; "
      "restarting the client frees it";
  EXPECT_EQ(RoundTrip("Connect"), "ERROR|" + why);
  EXPECT_EQ(CountLines(LogLines(), Stamped(why)), 1);
  // Other commands go on in the host, also after a language exception
  // there, thrown from a frame holding the library's lock.
  EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"), kAllZero);
  recording_.SetThrow(RecordingLibrary::kLockAndThrowForeign);
  EXPECT_EQ(RoundTrip("GetAngles"), "ERROR|Unhandled exception");
  recording_.SetThrow(RecordingLibrary::kNothing);
  EXPECT_EQ(RoundTrip("GetAngles"), "OK|0");
  EXPECT_EQ(RoundTrip("GetSpectralDataAll|0|"), kAllZero);
}
#endif

}  // namespace

}  // namespace vdqrn
