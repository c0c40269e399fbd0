// Drives simspectro through its exported entry points, resolved by plain name
// into function pointers of the contract's types, as the driver does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "instrument/driver_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vdqrn {

namespace {

#if defined(_WIN32)
const char kLibraryPath[] = ".\\simspectro.dll";
void* OpenLibrary() { return reinterpret_cast<void*>(LoadLibraryA(kLibraryPath)); }
void* FindExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
const char kLibraryPath[] = "./simspectro.so";
void* OpenLibrary() { return dlopen(kLibraryPath, RTLD_NOW); }
void* FindExport(void* library, const char* name) { return dlsym(library, name); }
#endif

#define SIMSPECTRO_ENTRY_POINTS(X)                                               \
  X(Connect) X(Disconnect) X(IsConnected) X(SetLanguage) X(GetAngles)            \
  X(GetWavelengths) X(GetAngleValue) X(GetWavelengthValue) X(Measure)            \
  X(GetSpectralData) X(IsDataReady) X(GetSerialNum) X(GetCalStatus) X(Calibrate) \
  X(GetCalSteps) X(GetCalMode) X(GetCalProgress) X(AbortCalibration)             \
  X(CalibrateStep) X(ClearSamples) X(GetSampleCount) X(SetCurrentSample)         \
  X(GetSampleData) X(Configure) X(GetAvailableSettings) X(GetSettingOptions)     \
  X(GetOption) X(SetOption) X(GetLastErrorCode) X(GetLastErrorString) X(Execute)

struct Api {
#define SIMULATED_DECLARE(name) driver_api::name name = nullptr;
  SIMSPECTRO_ENTRY_POINTS(SIMULATED_DECLARE)
#undef SIMULATED_DECLARE
};

// Patch indices in the measuring cycle, wavelength indices of some colours.
enum Patch { kWhite, kBlack, kRed, kGreen, kBlue, kYellow, kPatches };
constexpr int k420nm = 2, k450nm = 5, k530nm = 13, k600nm = 20, k650nm = 25;
constexpr int kMidAngle = 1;  // 45as45

class SimSpectroTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    library = OpenLibrary();
    if (library == nullptr) return;
#define SIMSPECTRO_RESOLVE(name) \
  api.name = reinterpret_cast<driver_api::name>(FindExport(library, #name));
    SIMSPECTRO_ENTRY_POINTS(SIMSPECTRO_RESOLVE)
#undef SIMSPECTRO_RESOLVE
  }

  void SetUp() override {
    ASSERT_NE(library, nullptr) << "cannot load " << kLibraryPath;
    ASSERT_NE(api.Execute, nullptr);
    ASSERT_STREQ(api.Execute("Reset"), "OK");
  }

  void ExpectError(int code, const char* text) {
    EXPECT_EQ(api.GetLastErrorCode(), code);
    EXPECT_STREQ(api.GetLastErrorString(), text);
  }

  void ExpectNoError() { ExpectError(0, ""); }

  // Connects and measures the cycle's first `count` patches.
  void MeasurePatches(int count) {
    ASSERT_TRUE(api.Connect());
    for (int i = 0; i < count; ++i) ASSERT_TRUE(api.Measure());
  }

  // The current sample's spectrum at one angle.
  std::vector<float> SampleSpectrum(int angle) {
    std::vector<float> values;
    for (int w = 0; w < 31; ++w) values.push_back(api.GetSampleData(angle, w));
    return values;
  }

  std::vector<float> SpectrumOf(int sample, int angle = kMidAngle) {
    EXPECT_TRUE(api.SetCurrentSample(sample));
    return SampleSpectrum(angle);
  }

  static void* library;
  static Api api;
};

void* SimSpectroTest::library = nullptr;
Api SimSpectroTest::api;

TEST_F(SimSpectroTest, ExportsEveryEntryPointByPlainName) {
#define SIMSPECTRO_CHECK(name) EXPECT_NE(api.name, nullptr) << #name;
  SIMSPECTRO_ENTRY_POINTS(SIMSPECTRO_CHECK)
#undef SIMSPECTRO_CHECK
}

TEST_F(SimSpectroTest, MeasuringNeedsAConnection) {
  EXPECT_FALSE(api.IsConnected());
  EXPECT_FALSE(api.Measure());
  ExpectError(1, "Instrument not connected");
  EXPECT_FALSE(api.IsDataReady());

  EXPECT_TRUE(api.Connect());
  ExpectNoError();  // a successful call clears the error
  EXPECT_TRUE(api.IsConnected());
  EXPECT_TRUE(api.Measure());
  EXPECT_TRUE(api.IsDataReady());

  EXPECT_TRUE(api.Disconnect());
  EXPECT_FALSE(api.IsConnected());
  EXPECT_FALSE(api.Disconnect());
  ExpectError(1, "Instrument not connected");
}

TEST_F(SimSpectroTest, WavelengthsAndAngles) {
  ASSERT_EQ(api.GetWavelengths(), 31);
  for (int w = 0; w < 31; ++w) EXPECT_EQ(api.GetWavelengthValue(w), 400 + 10 * w);
  EXPECT_EQ(api.GetWavelengthValue(31), -1);
  ExpectError(3, "Wavelength index out of range");
  EXPECT_EQ(api.GetWavelengthValue(-1), -1);

  ASSERT_EQ(api.GetAngles(), 3);
  std::vector<std::string> names;
  for (int a = 0; a < 3; ++a) names.push_back(api.GetAngleValue(a));
  EXPECT_EQ(names, (std::vector<std::string>{"45as-15", "45as45", "45as110"}));
  EXPECT_STREQ(api.GetAngleValue(3), "");
  ExpectError(2, "Angle index out of range");
}

TEST_F(SimSpectroTest, CycleMeasuresReferencePatchesWithPlausibleSpectra) {
  MeasurePatches(kPatches);
  ASSERT_EQ(api.GetSampleCount(), kPatches);

  const std::vector<float> white = SpectrumOf(kWhite);
  EXPECT_GT(*std::min_element(white.begin(), white.end()), 0.8f);
  EXPECT_LT(*std::max_element(white.begin(), white.end()) -
                *std::min_element(white.begin(), white.end()), 0.06f);
  const std::vector<float> black = SpectrumOf(kBlack);
  EXPECT_LT(*std::max_element(black.begin(), black.end()), 0.01f);
  EXPECT_GT(*std::min_element(black.begin(), black.end()), 0.0f);
  const std::vector<float> red = SpectrumOf(kRed);
  EXPECT_GT(red[k650nm], 5 * red[k450nm]);
  const std::vector<float> green = SpectrumOf(kGreen);
  EXPECT_GT(green[k530nm], 3 * green[k420nm]);
  EXPECT_GT(green[k530nm], 3 * green[k650nm]);
  const std::vector<float> blue = SpectrumOf(kBlue);
  EXPECT_GT(blue[k450nm], 5 * blue[k600nm]);
  const std::vector<float> yellow = SpectrumOf(kYellow);
  EXPECT_GT(yellow[k600nm], 5 * yellow[k420nm]);

  // The cycle starts over with the white tile.
  ASSERT_TRUE(api.Measure());
  EXPECT_EQ(SampleSpectrum(kMidAngle), white);
}

TEST_F(SimSpectroTest, SpectraAreRepeatableAndVarySlightlyWithAngle) {
  MeasurePatches(1);
  std::vector<std::vector<float>> first;
  for (int a = 0; a < 3; ++a) first.push_back(SampleSpectrum(a));

  ASSERT_STREQ(api.Execute("Reset"), "OK");
  MeasurePatches(1);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(SampleSpectrum(a), first[a]) << "angle " << a;

  for (int w = 0; w < 31; ++w) {
    EXPECT_GT(first[0][w], first[1][w]);
    EXPECT_GT(first[1][w], first[2][w]);
    EXPECT_LT(first[0][w] - first[2][w], 0.15f * first[1][w]);
  }
}

TEST_F(SimSpectroTest, SpectralDataIsTheLastMeasurement) {
  EXPECT_EQ(api.GetSpectralData(kMidAngle, 0), -1.0f);
  ExpectError(4, "No measurement data");

  MeasurePatches(2);  // white, then black
  ASSERT_TRUE(api.SetCurrentSample(0));
  EXPECT_LT(api.GetSpectralData(kMidAngle, 10), 0.01f);
  EXPECT_EQ(api.GetSpectralData(0, 30), SpectrumOf(kBlack, 0)[30]);

  EXPECT_EQ(api.GetSpectralData(3, 0), -1.0f);
  ExpectError(2, "Angle index out of range");
  EXPECT_EQ(api.GetSpectralData(0, 31), -1.0f);
  ExpectError(3, "Wavelength index out of range");
}

TEST_F(SimSpectroTest, PatchOptionChoosesWhatIsMeasured) {
  ASSERT_TRUE(api.Connect());
  ASSERT_TRUE(api.SetOption("Patch", "yellow"));
  EXPECT_STREQ(api.GetOption("Patch"), "Yellow");
  ASSERT_TRUE(api.Measure());
  ASSERT_TRUE(api.Measure());
  const std::vector<float> yellow = SpectrumOf(1);
  EXPECT_EQ(SpectrumOf(0), yellow);
  EXPECT_GT(yellow[k600nm], 5 * yellow[k420nm]);

  // Choosing the cycle restarts it at the white tile.
  ASSERT_TRUE(api.SetOption("Patch", "Red"));
  ASSERT_TRUE(api.SetOption("Patch", "Cycle"));
  ASSERT_TRUE(api.Measure());
  EXPECT_GT(SampleSpectrum(kMidAngle)[0], 0.8f);
}

TEST_F(SimSpectroTest, SampleMemorySelectsAndClears) {
  MeasurePatches(3);  // white, black, red
  EXPECT_EQ(api.GetSampleCount(), 3);
  EXPECT_GT(SampleSpectrum(kMidAngle)[k650nm], 0.5f);  // the newest is current

  ASSERT_TRUE(api.SetCurrentSample(0));
  EXPECT_GT(api.GetSampleData(kMidAngle, 0), 0.8f);
  EXPECT_FALSE(api.SetCurrentSample(3));
  ExpectError(5, "Sample index out of range");
  EXPECT_FALSE(api.SetCurrentSample(-1));
  EXPECT_GT(api.GetSampleData(kMidAngle, 0), 0.8f);  // still sample 0
  EXPECT_EQ(api.GetSampleData(kMidAngle, 31), -1.0f);
  ExpectError(3, "Wavelength index out of range");

  EXPECT_TRUE(api.ClearSamples());
  EXPECT_EQ(api.GetSampleCount(), 0);
  EXPECT_FALSE(api.IsDataReady());
  EXPECT_EQ(api.GetSampleData(kMidAngle, 0), -1.0f);
  ExpectError(4, "No measurement data");
}

TEST_F(SimSpectroTest, CalibrationStepByStep) {
  EXPECT_STREQ(api.GetCalMode(), "Standard");
  EXPECT_STREQ(api.GetCalSteps(), "White;Black");
  EXPECT_EQ(api.GetCalStatus(), 0);
  EXPECT_FALSE(api.CalibrateStep("White"));
  ExpectError(1, "Instrument not connected");

  ASSERT_TRUE(api.Connect());
  EXPECT_TRUE(api.CalibrateStep("white"));
  EXPECT_EQ(api.GetCalStatus(), 1);
  EXPECT_EQ(api.GetCalProgress(), 50);
  EXPECT_FALSE(api.CalibrateStep("Gray"));
  ExpectError(6, "Unknown calibration step");
  EXPECT_EQ(api.GetCalStatus(), 1);
  EXPECT_TRUE(api.CalibrateStep("Black"));
  EXPECT_EQ(api.GetCalStatus(), 2);
  EXPECT_EQ(api.GetCalProgress(), 100);

  EXPECT_FALSE(api.AbortCalibration());
  ExpectError(7, "No calibration in progress");
  EXPECT_EQ(api.GetCalStatus(), 2);

  // A step after a complete calibration starts a new one, which can be dropped.
  EXPECT_TRUE(api.CalibrateStep("Black"));
  EXPECT_EQ(api.GetCalProgress(), 50);
  EXPECT_TRUE(api.AbortCalibration());
  EXPECT_EQ(api.GetCalStatus(), 0);
  EXPECT_EQ(api.GetCalProgress(), 0);
}

TEST_F(SimSpectroTest, CalibrateTakesEveryStepOfTheMode) {
  EXPECT_FALSE(api.Calibrate());
  ExpectError(1, "Instrument not connected");
  ASSERT_TRUE(api.Connect());
  EXPECT_TRUE(api.Calibrate());
  EXPECT_EQ(api.GetCalStatus(), 2);

  // Another mode needs a new calibration.
  ASSERT_TRUE(api.SetOption("CalMode", "Quick"));
  EXPECT_STREQ(api.GetCalMode(), "Quick");
  EXPECT_STREQ(api.GetCalSteps(), "White");
  EXPECT_EQ(api.GetCalStatus(), 0);
  EXPECT_FALSE(api.CalibrateStep("Black"));
  EXPECT_TRUE(api.CalibrateStep("White"));
  EXPECT_EQ(api.GetCalStatus(), 2);
}

TEST_F(SimSpectroTest, SettingsRoundTripAndRefusals) {
  EXPECT_STREQ(api.GetAvailableSettings(), "Aperture;Illuminant;Observer;CalMode;Patch");
  EXPECT_STREQ(api.GetSettingOptions("Aperture"), "LAV;MAV;SAV");
  EXPECT_STREQ(api.GetOption("Aperture"), "LAV");

  EXPECT_TRUE(api.SetOption("aperture", "sav"));
  EXPECT_STREQ(api.GetOption("Aperture"), "SAV");
  EXPECT_FALSE(api.SetOption("Aperture", "XXL"));
  ExpectError(9, "Invalid value for setting");
  EXPECT_STREQ(api.GetOption("Aperture"), "SAV");

  EXPECT_FALSE(api.SetOption("Colour", "Red"));
  ExpectError(8, "Unknown setting");
  EXPECT_STREQ(api.GetOption("Colour"), "");
  ExpectError(8, "Unknown setting");
  EXPECT_STREQ(api.GetSettingOptions("Colour"), "");
  ExpectError(8, "Unknown setting");
  EXPECT_FALSE(api.SetOption("Aperture", nullptr));
  ExpectError(12, "Missing text argument");

  EXPECT_FALSE(api.Configure());
  ExpectError(1, "Instrument not connected");
  ASSERT_TRUE(api.Connect());
  EXPECT_TRUE(api.Configure());
}

TEST_F(SimSpectroTest, LanguagesAndSerialNumber) {
  EXPECT_TRUE(api.SetLanguage(1031));
  EXPECT_FALSE(api.SetLanguage(9999));
  ExpectError(10, "Unsupported language");
  EXPECT_NE(std::string(api.Execute("Status")).find(";language=1031"), std::string::npos);
  EXPECT_STREQ(api.GetSerialNum(), "SIM-000123");
}

TEST_F(SimSpectroTest, ExecuteTexts) {
  EXPECT_STREQ(api.Execute("Version"), "simspectro 1.0");
  EXPECT_STREQ(api.Execute("Echo:a|b c"), "a|b c");
  EXPECT_STREQ(api.Execute("Status"),
               "connected=0;calstatus=0;samples=0;current=-1;next=White;language=1033");
  MeasurePatches(2);
  ASSERT_TRUE(api.CalibrateStep("White"));
  EXPECT_STREQ(api.Execute("status"),
               "connected=1;calstatus=1;samples=2;current=1;next=Red;language=1033");

  EXPECT_STREQ(api.Execute("Fly"), "");
  ExpectError(11, "Unknown command");

  EXPECT_STREQ(api.Execute("Reset"), "OK");
  EXPECT_FALSE(api.IsConnected());
  EXPECT_EQ(api.GetSampleCount(), 0);
  EXPECT_EQ(api.GetCalStatus(), 0);
}

TEST_F(SimSpectroTest, ReturnedTextsSurviveCallsToOtherEntryPoints) {
  const char* angle = api.GetAngleValue(0);
  const char* serial = api.GetSerialNum();
  const char* echo = api.Execute("Echo:kept");
  const char* option = api.GetOption("Illuminant");
  const char* steps = api.GetCalSteps();
  ASSERT_TRUE(api.SetOption("Illuminant", "D50"));
  api.GetSettingOptions("Illuminant");
  api.GetAvailableSettings();
  EXPECT_STREQ(angle, "45as-15");
  EXPECT_STREQ(serial, "SIM-000123");
  EXPECT_STREQ(echo, "kept");
  EXPECT_STREQ(option, "D65");
  EXPECT_STREQ(steps, "White;Black");
}

}  // namespace

}  // namespace vdqrn
