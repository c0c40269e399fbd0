#include "simulated_instrument.h"

#include <algorithm>
#include <string_view>

#include "reference_patches.h"
#include "text.h"

namespace simspectro {
namespace {

const char kSerialNumber[] = "SIM-000123";
const char kVersion[] = "simspectro 1.0";
const char kCycle[] = "Cycle";
const char kEchoPrefix[] = "Echo:";

const std::uint16_t kLanguages[] = {1031, 1033, 1036, 1040, 3082};
const std::uint16_t kDefaultLanguage = 1033;

std::vector<std::string> PatchOptions() {
  std::vector<std::string> options = {kCycle};
  for (int patch = 0; patch < kPatchCount; ++patch) options.push_back(PatchName(patch));
  return options;
}

}  // namespace

SimulatedInstrument::SimulatedInstrument()
    : connected(false),
      language(kDefaultLanguage),
      calibration(Calibration::Modes().front()),
      currentSample(-1),
      cyclePosition(0),
      error(ErrorCode::kNone) {
  settings.Add("Aperture", {"LAV", "MAV", "SAV"});
  settings.Add("Illuminant", {"D65", "D50", "A", "F2", "F7", "F11"});
  settings.Add("Observer", {"10", "2"});
  settings.Add("CalMode", Calibration::Modes());
  settings.Add("Patch", PatchOptions());
}

bool SimulatedInstrument::Connect() {
  connected = true;
  return true;
}

bool SimulatedInstrument::Disconnect() {
  if (!connected) return Refuse(ErrorCode::kNotConnected);
  connected = false;
  return true;
}

bool SimulatedInstrument::SetLanguage(std::uint16_t languageId) {
  if (std::find(std::begin(kLanguages), std::end(kLanguages), languageId) ==
      std::end(kLanguages)) {
    return Refuse(ErrorCode::kUnsupportedLanguage);
  }
  language = languageId;
  return true;
}

int SimulatedInstrument::GetAngles() const { return kAngleCount; }

int SimulatedInstrument::GetWavelengths() const { return kWavelengthCount; }

std::string SimulatedInstrument::GetAngleValue(int angle) {
  if (angle < 0 || angle >= kAngleCount) {
    Refuse(ErrorCode::kAngleOutOfRange);
    return std::string();
  }
  return AngleName(angle);
}

int SimulatedInstrument::GetWavelengthValue(int wavelength) {
  if (wavelength < 0 || wavelength >= kWavelengthCount) {
    Refuse(ErrorCode::kWavelengthOutOfRange);
    return -1;
  }
  return kFirstWavelengthNm + kWavelengthStepNm * wavelength;
}

bool SimulatedInstrument::Measure() {
  if (!connected) return Refuse(ErrorCode::kNotConnected);
  samples.push_back(NextPatch());
  currentSample = static_cast<int>(samples.size()) - 1;
  if (settings.Value("Patch") == kCycle) cyclePosition = (cyclePosition + 1) % kPatchCount;
  return true;
}

float SimulatedInstrument::GetSpectralData(int angle, int wavelength) {
  return SampleValue(static_cast<int>(samples.size()) - 1, angle, wavelength);
}

std::string SimulatedInstrument::GetSerialNum() const { return kSerialNumber; }

bool SimulatedInstrument::Calibrate() {
  if (!connected) return Refuse(ErrorCode::kNotConnected);
  calibration.TakeAllSteps();
  return true;
}

std::string SimulatedInstrument::GetCalSteps() const { return JoinList(calibration.Steps()); }

std::string SimulatedInstrument::GetCalMode() const { return settings.Value("CalMode"); }

bool SimulatedInstrument::AbortCalibration() {
  if (!calibration.Abort()) return Refuse(ErrorCode::kNoCalibrationInProgress);
  return true;
}

bool SimulatedInstrument::CalibrateStep(const char* step) {
  if (step == nullptr) return Refuse(ErrorCode::kMissingText);
  if (!connected) return Refuse(ErrorCode::kNotConnected);
  if (!calibration.TakeStep(step)) return Refuse(ErrorCode::kUnknownCalibrationStep);
  return true;
}

bool SimulatedInstrument::ClearSamples() {
  samples.clear();
  currentSample = -1;
  return true;
}

bool SimulatedInstrument::SetCurrentSample(int sample) {
  if (sample < 0 || sample >= GetSampleCount()) return Refuse(ErrorCode::kSampleOutOfRange);
  currentSample = sample;
  return true;
}

float SimulatedInstrument::GetSampleData(int angle, int wavelength) {
  return SampleValue(currentSample, angle, wavelength);
}

bool SimulatedInstrument::Configure() {
  if (!connected) return Refuse(ErrorCode::kNotConnected);
  return true;
}

std::string SimulatedInstrument::GetAvailableSettings() const {
  return JoinList(settings.Names());
}

std::string SimulatedInstrument::GetSettingOptions(const char* setting) {
  if (setting == nullptr) {
    Refuse(ErrorCode::kMissingText);
    return std::string();
  }
  if (!settings.Has(setting)) {
    Refuse(ErrorCode::kUnknownSetting);
    return std::string();
  }
  return JoinList(settings.Options(setting));
}

std::string SimulatedInstrument::GetOption(const char* option) {
  if (option == nullptr) {
    Refuse(ErrorCode::kMissingText);
    return std::string();
  }
  if (!settings.Has(option)) {
    Refuse(ErrorCode::kUnknownSetting);
    return std::string();
  }
  return settings.Value(option);
}

bool SimulatedInstrument::SetOption(const char* option, const char* value) {
  if (option == nullptr || value == nullptr) return Refuse(ErrorCode::kMissingText);
  const std::string oldMode = settings.Value("CalMode");
  switch (settings.Set(option, value)) {
    case Settings::Outcome::kUnknownSetting: return Refuse(ErrorCode::kUnknownSetting);
    case Settings::Outcome::kInvalidValue: return Refuse(ErrorCode::kInvalidOptionValue);
    case Settings::Outcome::kSet: break;
  }
  // Another calibration mode needs a new calibration; choosing the cycle
  // (again) restarts it at the white tile.
  const std::string newMode = settings.Value("CalMode");
  if (newMode != oldMode) calibration = Calibration(newMode);
  if (EqualsIgnoreCase(option, "Patch") && settings.Value("Patch") == kCycle) cyclePosition = 0;
  return true;
}

std::string SimulatedInstrument::Execute(const char* text) {
  if (text == nullptr) {
    Refuse(ErrorCode::kMissingText);
    return std::string();
  }
  const std::string_view command(text);
  const std::string_view echo(kEchoPrefix);
  if (command.size() >= echo.size() && EqualsIgnoreCase(command.substr(0, echo.size()), echo)) {
    return std::string(command.substr(echo.size()));
  }
  if (EqualsIgnoreCase(command, "Version")) return kVersion;
  if (EqualsIgnoreCase(command, "Status")) return Status();
  if (EqualsIgnoreCase(command, "Reset")) {
    *this = SimulatedInstrument();
    return "OK";
  }
  Refuse(ErrorCode::kUnknownCommand);
  return std::string();
}

bool SimulatedInstrument::Refuse(ErrorCode code) {
  error = code;
  return false;
}

float SimulatedInstrument::SampleValue(int sample, int angle, int wavelength) {
  if (sample < 0 || sample >= GetSampleCount()) {
    Refuse(ErrorCode::kNoData);
    return -1.0f;
  }
  if (angle < 0 || angle >= kAngleCount) {
    Refuse(ErrorCode::kAngleOutOfRange);
    return -1.0f;
  }
  if (wavelength < 0 || wavelength >= kWavelengthCount) {
    Refuse(ErrorCode::kWavelengthOutOfRange);
    return -1.0f;
  }
  return Reflectance(samples[static_cast<std::size_t>(sample)], angle, wavelength);
}

int SimulatedInstrument::NextPatch() const {
  const std::string chosen = settings.Value("Patch");
  for (int patch = 0; patch < kPatchCount; ++patch) {
    if (chosen == PatchName(patch)) return patch;
  }
  return cyclePosition;
}

std::string SimulatedInstrument::Status() const {
  return "connected=" + std::to_string(connected ? 1 : 0) +
         ";calstatus=" + std::to_string(GetCalStatus()) +
         ";samples=" + std::to_string(GetSampleCount()) +
         ";current=" + std::to_string(currentSample) +
         ";next=" + PatchName(NextPatch()) +
         ";language=" + std::to_string(language);
}

}  // namespace simspectro
