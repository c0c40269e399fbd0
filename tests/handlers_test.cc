#include <filesystem>
#include <fstream>
#include <map>

#include "instrument/driver_name.h"
#include "interpreter/instrument.h"
#include "platform/platform.h"
#include "log_test.h"
#include "recording_controls.h"

namespace vdqrn {

using ::testing::ElementsAre;

namespace {

const char kBadCast[] =
    "(bad lexical cast: source type value could not be interpreted as target)";

std::string Repeat(const std::string& piece, int times, const std::string& separator) {
  std::string out;
  for (int i = 0; i < times; ++i) out += (i > 0 ? separator : "") + piece;
  return out;
}

}  // namespace

class Handlers : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    ASSERT_EQ(Run("Init|recordingspectro|"), "OK");
    recording.Reset();
    recording.SetText("answer");
  }
  std::string Run(const std::string& text) { return instrument.Execute(text).ToString(); }

  RecordingLibrary recording;
  Instrument instrument;
};

// Every name in the table reaches a handler of its own: with parameters
// enough for any command, each answers OK and its first library call is the
// entry point of the same name (two commands call one of another name), so a
// name bound to the wrong handler shows. Only "Hello" calls no library.
TEST_F(Handlers, EveryTableCommandReachesTheEntryPointOfItsName) {
  const std::map<std::string, std::string> otherEntryPoint = {
      {"GetSerialNumber", "GetSerialNum"}, {"GetSpectralDataAll", "GetSpectralData"}};
  const std::vector<std::string> names = instrument.CommandNames();
  ASSERT_FALSE(names.empty());
  for (const std::string& name : names) {
    recording.Reset();
    recording.SetText("answer");
    const std::string response = Run(name + "|1|2|");
    EXPECT_EQ(response.rfind("OK", 0), 0u) << name << ": " << response;
    const std::string journal = recording.Journal();
    if (name == "Hello") {
      EXPECT_EQ(journal, "") << name;
      continue;
    }
    const auto other = otherEntryPoint.find(name);
    const std::string entry = other != otherEntryPoint.end() ? other->second : name;
    EXPECT_EQ(journal.substr(0, journal.find('(')), entry) << name << ": " << journal;
  }
}

TEST_F(Handlers, InitLogsLoadingAndSuccess) {
  EXPECT_THAT(LogLines(), ElementsAre(kStamp + std::string("Parameters of Init|recordingspectro|"),
                                      kStamp + std::string("Loading driver \"recordingspectro\""),
                                      kStamp + std::string("Loading Driver success")));
}

struct Case {
  const char* command;
  const char* response;
  const char* journal;  // the library calls the command made
};

// One command per row: its response with the scripted results (true, 5,
// 0.123456789, "answer") and the exact library calls.
TEST_F(Handlers, EachCommandCallsItsEntryPointWithItsArguments) {
  const Case cases[] = {
      {"Connect|ignored|", "OK|true", "Connect()\n"},
      {"Disconnect", "OK|true", "Disconnect()\n"},
      {"IsConnected", "OK|true", "IsConnected()\n"},
      {"SetLanguage|1033|", "OK|true", "SetLanguage(1033)\n"},
      {"SetLanguage|65535|", "OK|true", "SetLanguage(65535)\n"},
      {"GetSerialNumber", "OK|answer", "GetSerialNum()\n"},
      {"GetAngles", "OK|5", "GetAngles()\n"},
      {"GetWavelengths", "OK|5", "GetWavelengths()\n"},
      {"GetAngleValue|-2|", "OK|answer", "GetAngleValue(-2)\n"},
      {"GetWavelengthValue|+30|", "OK|5", "GetWavelengthValue(30)\n"},
      {"GetLastErrorCode", "OK|5", "GetLastErrorCode()\n"},
      {"GetLastErrorString", "OK|answer", "GetLastErrorString()\n"},
      {"Measure", "OK|true", "Measure()\n"},
      {"IsDataReady", "OK|true", "IsDataReady()\n"},
      {"GetSpectralData|2|5|", "OK|0.1234568", "GetSpectralData(2,5)\n"},
      {"ClearSamples", "OK|true", "ClearSamples()\n"},
      {"GetSampleCount", "OK|5", "GetSampleCount()\n"},
      {"SetCurrentSample|3|9|", "OK|true", "SetCurrentSample(3)\n"},
      {"GetSampleData|7|1|", "OK|0.1234568", "GetSampleData(7,1)\n"},
      {"GetCalStatus", "OK|5", "GetCalStatus()\n"},
      {"Calibrate", "OK|true", "Calibrate()\n"},
      {"GetCalSteps", "OK|answer", "GetCalSteps()\n"},
      {"GetCalMode|any|", "OK|answer", "GetCalMode()\n"},
      {"CalibrateStep| White |next|", "OK|true", "CalibrateStep( White )\n"},
      {"GetCalProgress", "OK|5", "GetCalProgress()\n"},
      {"AbortCalibration", "OK|true", "AbortCalibration()\n"},
      {"Configure", "OK|true", "Configure()\n"},
      {"GetAvailableSettings", "OK|answer", "GetAvailableSettings()\n"},
      {"GetSettingOptions|Aperture|", "OK|answer", "GetSettingOptions(Aperture)\n"},
      {"GetOption|Aperture|", "OK|answer", "GetOption(Aperture)\n"},
      {"SetOption|Aperture|LAV|", "OK|true", "SetOption(Aperture,LAV)\n"},
      {"Execute|Status|more|more|", "OK|answer", "Execute(Status)\n"},
  };
  recording.SetInt(5);
  recording.SetFloat(0.123456789f);
  for (const Case& c : cases) {
    recording.Reset();
    recording.SetBool(true);
    recording.SetInt(5);
    recording.SetFloat(0.123456789f);
    recording.SetText("answer");
    EXPECT_EQ(Run(c.command), c.response) << c.command;
    EXPECT_EQ(recording.Journal(), c.journal) << c.command;
  }
}

TEST_F(Handlers, SpectralListHasThirtyOneValuesWithSixDigits) {
  recording.SetFloat(0.123456789f);
  EXPECT_EQ(Run("GetSpectralDataAll|2|x|"), "OK|" + Repeat("0.123457", 31, ";"));
  std::string calls;
  for (int i = 0; i <= 30; ++i) calls += "GetSpectralData(2," + std::to_string(i) + ")\n";
  EXPECT_EQ(recording.Journal(), calls);
}

TEST_F(Handlers, MissingParametersAndBadNumbersNeverReachTheLibrary) {
  const char* missing[] = {"SetLanguage",       "GetAngleValue|",   "GetWavelengthValue",
                           "GetSpectralData|1|", "GetSpectralDataAll", "SetCurrentSample",
                           "GetSampleData|1|",   "GetCalMode",        "CalibrateStep",
                           "GetSettingOptions",  "GetOption",         "SetOption|A|B",
                           "Execute|x"};
  for (const char* command : missing) {
    EXPECT_EQ(Run(command), "ERROR|Missing parameter") << command;
  }
  const std::pair<const char*, const char*> badNumbers[] = {
      {"SetLanguage|65536|", "SetLanguage"},
      {"SetLanguage|-1|", "SetLanguage"},
      {"GetAngleValue| 1|", "GetAngleValue"},
      {"GetSpectralData|1|x|", "GetSpectralData"},
      {"GetSpectralDataAll|99999999999|", "GetSpectralDataAll"},
      {"GetSampleData|1.5|2|", "GetSampleData"},
      {"SetCurrentSample||", "SetCurrentSample"},
  };
  for (const auto& bad : badNumbers) {
    EXPECT_EQ(Run(bad.first),
              std::string("ERROR|Error executing command \"") + bad.second + "\" " + kBadCast)
        << bad.first;
  }
  EXPECT_EQ(recording.Journal(), "");
}

TEST_F(Handlers, LibraryFailuresAreSuccessfulAnswers) {
  recording.SetBool(false);
  recording.SetInt(-12);
  recording.SetText("");
  EXPECT_EQ(Run("Measure"), "OK|false");
  EXPECT_EQ(Run("AbortCalibration"), "OK|false");
  EXPECT_EQ(Run("GetLastErrorCode"), "OK|-12");
  EXPECT_EQ(Run("GetSerialNumber"), "OK");
  recording.SetText(nullptr);  // a null text counts as empty
  EXPECT_EQ(Run("Execute|x|"), "OK");
  EXPECT_EQ(Run("GetAngleValue|0|"), "OK");
}

TEST_F(Handlers, FailedInitLeavesNoLibraryLoaded) {
  EXPECT_EQ(Run("Init|no-such-library|"),
            "ERROR|Error loading driver (\"no-such-library\") on client");
  // The path tried and where it was looked for follow the design's line.
  const std::string path = platform::kLocalLibraryPrefix + std::string("no-such-library") +
                           platform::kLibrarySuffix;
  const auto lines = LogLines();
  EXPECT_THAT(std::vector<std::string>(lines.end() - 3, lines.end()),
              ElementsAre(kStamp + std::string("Loading driver \"no-such-library\""),
                          kStamp + std::string("Loading Driver error"),
                          kStamp + std::string("Driver library \"") + path +
                              "\" not found: no such file in " +
                              platform::LibrarySearchDescription(path.c_str())));
  EXPECT_EQ(Run("Connect"), "ERROR|No driver loaded");
  EXPECT_EQ(Run("Init"), "ERROR|Missing parameter");
  EXPECT_EQ(Run("Init|missingexport|"), "ERROR|Error loading driver (\"missingexport\") on client");
  EXPECT_EQ(recording.Journal(), "");
}

TEST_F(Handlers, UnsafeDriverNamesAreRefusedLikeFailedLoads) {
  const std::string refused[] = {"..",
                                 "../recordingspectro",
                                 "sub/../recordingspectro",
                                 "sub\\..\\recordingspectro",
                                 "recordingspectro/..",
                                 "c:recordingspectro",
                                 std::string("recordingspectro\0x", 18),
                                 std::string(254, 'a'),
                                 // Devices in any folder, whatever follows the dot.
                                 "COM1", "com9.dll", "LPT1", "lpt0.x.y", "AUX", "con",
                                 "PRN.dll", "nul", "Nul .dll", "sub/COM3", "sub\\aux.dll",
                                 "COM1/recordingspectro", "COM\xB9", "lpt\xC2\xB3.dll",
                                 "CONOUT$"};
  for (const std::string& name : refused) {
    ASSERT_EQ(Run("Init|recordingspectro|"), "OK");
    EXPECT_EQ(Run("Init|" + name + "|"), "ERROR|Error loading driver (\"" + name + "\") on client");
    // Why, without the name again (it may hold any byte).
    const auto lines = LogLines();
    EXPECT_EQ(lines.end()[-2], kStamp + std::string("Loading Driver error"));
    EXPECT_EQ(lines.back().find(kStamp + std::string("Driver name never tried: ")) == 0 ||
                  lines.back().find("not found: no such file") != std::string::npos,
              true)
        << lines.back();
    EXPECT_EQ(Run("Connect"), "ERROR|No driver loaded") << name;
  }
}

TEST(DriverNames, OnlyDeviceNamesThemselvesAreRefused) {
  for (const char* name : {"COM10", "LPT", "console", "auxiliary", "nullspectro", "prn1",
                           "my.com1", "sub/COMPANY", "COMx", "LPT\xC2\xB4"}) {
    EXPECT_TRUE(IsAcceptableDriverName(name)) << name;
  }
}

TEST_F(Handlers, NamesWithASubdirectoryStillLoad) {
  namespace fs = std::filesystem;
  const std::string file = std::string("recordingspectro") + platform::kLibrarySuffix;
  fs::remove_all("testsub");
  fs::create_directories("testsub");
  fs::copy_file(file, fs::path("testsub") / file);
  EXPECT_EQ(Run("Init|testsub/recordingspectro|"), "OK");
  EXPECT_EQ(Run("Init|./recordingspectro|"), "OK");
  EXPECT_EQ(Run("Init|no-such-library|"), "ERROR|Error loading driver (\"no-such-library\") on client");
  fs::remove_all("testsub");
}

// A library no instrument host runs for this module is refused at Init,
// before any host starts, and the log names both architectures: one of the
// other machine family (an x86 library beside an ARM module), or of the
// module's own family whose host is not shipped (a 32-bit ARM library
// beside a 64-bit ARM module on Windows).
namespace {
std::vector<char> ElfHeader(platform::Architecture architecture) {
  using platform::Architecture;
  std::vector<char> header(64, 0);
  header[0] = 0x7F;
  header[1] = 'E';
  header[2] = 'L';
  header[3] = 'F';
  const bool wide = architecture == Architecture::kX64 || architecture == Architecture::kArm64;
  header[4] = wide ? 2 : 1;
  header[5] = 1;  // little-endian
  switch (architecture) {
    case Architecture::kX86: header[18] = 3; break;
    case Architecture::kX64: header[18] = 62; break;
    case Architecture::kArm32: header[18] = 40; break;
    default: header[18] = static_cast<char>(183); break;
  }
  return header;
}
}  // namespace

TEST_F(Handlers, LibrariesNoHostRunsAreRefusedNamingBothArchitectures) {
  namespace fs = std::filesystem;
  using platform::Architecture;
  const Architecture own = platform::kOwnArchitecture;
  const auto isArm = [](Architecture architecture) {
    return architecture == Architecture::kArm32 || architecture == Architecture::kArm64;
  };
  int refused = 0;
  for (const Architecture foreign :
       {Architecture::kX86, Architecture::kX64, Architecture::kArm32, Architecture::kArm64}) {
    if (platform::SystemMayLoad(own, foreign) || platform::HostRunsLibrary(own, foreign)) continue;
    ++refused;
    const std::vector<char> header = ElfHeader(foreign);
    const std::string file = std::string("othermachine") + platform::kLibrarySuffix;
    std::ofstream(file, std::ios::binary)
        .write(header.data(), static_cast<std::streamsize>(header.size()));
    const std::string path = platform::kLocalLibraryPrefix + file;
    ASSERT_EQ(platform::LibraryArchitecture(platform::LocateLibrary(path.c_str())), foreign);

    EXPECT_EQ(Run("Init|othermachine|"), "ERROR|Error loading driver (\"othermachine\") on client");
    const std::string why =
        isArm(foreign) == isArm(own)
            ? std::string(", and no instrument host runs it for this module (") +
                  platform::ArchitectureName(own) + ")"
            : std::string(", another machine than this module's (") +
                  platform::ArchitectureName(own) + "): no instrument host runs it";
    const auto lines = LogLines();
    EXPECT_THAT(std::vector<std::string>(lines.end() - 4, lines.end()),
                ElementsAre(kStamp + std::string("Loading driver \"othermachine\""),
                            kStamp + std::string("Instrument library refused: \"") +
                                platform::LocateLibrary(path.c_str()) + "\" is " +
                                platform::ArchitectureName(foreign) + why,
                            kStamp + std::string("Loading Driver error"),
                            kStamp + std::string("Driver library \"") +
                                platform::LocateLibrary(path.c_str()) + "\" not loaded: it is " +
                                platform::ArchitectureName(foreign) + why))
        << platform::ArchitectureName(foreign);
    EXPECT_EQ(Run("Connect"), "ERROR|No driver loaded");
    fs::remove(file);
  }
  // Every build refuses at least the other family's 64-bit member or, on
  // Windows on ARM, 32-bit ARM.
  EXPECT_GE(refused, 1);
}

// An ARM64 header beside a Windows x64 module may be an ARM64X library,
// which Windows on ARM loads into the x64 process: the system is asked, and
// here refuses it with its own reason, not ours.
TEST_F(Handlers, AnArm64HeaderBesideWindowsX64IsTheSystemsToLoad) {
  using platform::Architecture;
  if (platform::kOwnArchitecture != Architecture::kX64 || !platform::kOwnSystemIsWindows) {
    GTEST_SKIP() << "Windows x64 only";
  }
  const std::vector<char> header = ElfHeader(Architecture::kArm64);
  const std::string file = std::string("arm64x") + platform::kLibrarySuffix;
  std::ofstream(file, std::ios::binary)
      .write(header.data(), static_cast<std::streamsize>(header.size()));
  EXPECT_EQ(Run("Init|arm64x|"), "ERROR|Error loading driver (\"arm64x\") on client");
  for (const std::string& line : LogLines()) {
    EXPECT_EQ(line.find("Instrument"), std::string::npos) << line;
  }
  EXPECT_EQ(LogLines().back(), kStamp + std::string("Loading Driver error"));
  std::filesystem::remove(file);
}

}  // namespace vdqrn
