#include "instrument/spectro.h"

#include <string>

namespace vdqrn {

namespace {

// Looks one export up into its typed slot; false when the library lacks it.
template <typename EntryPoint>
bool Resolve(platform::LibraryHandle library, const char* name, EntryPoint& slot) {
  slot = reinterpret_cast<EntryPoint>(platform::FindExport(library, name));
  return slot != nullptr;
}

}  // namespace

Spectro::Spectro() : handle_(nullptr) { ClearEntryPoints(); }

Spectro::~Spectro() {
  if (handle_ != nullptr) {
    platform::FreeDynamicLibrary(handle_);
    handle_ = nullptr;
  }
}

bool Spectro::LoadDriver(const char* name) {
  UnloadDriver();

  // A path that would not fit the platform's path buffer is not tried.
  const std::string path =
      std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
  if (path.size() >= platform::kMaxPath) return false;

  handle_ = platform::LoadDynamicLibrary(path.c_str());
  if (handle_ == nullptr) return false;

  // Looked up in this order; the first missing name rejects the library and
  // the names after it are not looked up.
  const bool complete =
      Resolve(handle_, "Connect", connect_) &&
      Resolve(handle_, "Disconnect", disconnect_) &&
      Resolve(handle_, "IsConnected", isConnected_) &&
      Resolve(handle_, "SetLanguage", setLanguage_) &&
      Resolve(handle_, "GetAngles", getAngles_) &&
      Resolve(handle_, "GetWavelengths", getWavelengths_) &&
      Resolve(handle_, "GetAngleValue", getAngleValue_) &&
      Resolve(handle_, "GetWavelengthValue", getWavelengthValue_) &&
      Resolve(handle_, "Measure", measure_) &&
      Resolve(handle_, "GetSpectralData", getSpectralData_) &&
      Resolve(handle_, "IsDataReady", isDataReady_) &&
      Resolve(handle_, "GetSerialNum", getSerialNum_) &&
      Resolve(handle_, "GetCalStatus", getCalStatus_) &&
      Resolve(handle_, "Calibrate", calibrate_) &&
      Resolve(handle_, "GetCalSteps", getCalSteps_) &&
      Resolve(handle_, "GetCalMode", getCalMode_) &&
      Resolve(handle_, "CalibrateStep", calibrateStep_) &&
      Resolve(handle_, "GetCalProgress", getCalProgress_) &&
      Resolve(handle_, "AbortCalibration", abortCalibration_) &&
      Resolve(handle_, "ClearSamples", clearSamples_) &&
      Resolve(handle_, "GetSampleCount", getSampleCount_) &&
      Resolve(handle_, "SetCurrentSample", setCurrentSample_) &&
      Resolve(handle_, "GetSampleData", getSampleData_) &&
      Resolve(handle_, "Configure", configure_) &&
      Resolve(handle_, "GetAvailableSettings", getAvailableSettings_) &&
      Resolve(handle_, "GetSettingOptions", getSettingOptions_) &&
      Resolve(handle_, "GetOption", getOption_) &&
      Resolve(handle_, "SetOption", setOption_) &&
      Resolve(handle_, "GetLastErrorCode", getLastErrorCode_) &&
      Resolve(handle_, "GetLastErrorString", getLastErrorString_) &&
      Resolve(handle_, "Execute", execute_);
  if (!complete) UnloadDriver();
  return complete;
}

void Spectro::UnloadDriver() {
  if (handle_ != nullptr) {
    platform::FreeDynamicLibrary(handle_);
    handle_ = nullptr;
  }
  ClearEntryPoints();
}

void Spectro::ClearEntryPoints() {
  connect_ = nullptr;
  disconnect_ = nullptr;
  isConnected_ = nullptr;
  setLanguage_ = nullptr;
  getAngles_ = nullptr;
  getWavelengths_ = nullptr;
  getAngleValue_ = nullptr;
  getWavelengthValue_ = nullptr;
  measure_ = nullptr;
  getSpectralData_ = nullptr;
  isDataReady_ = nullptr;
  getSerialNum_ = nullptr;
  getCalStatus_ = nullptr;
  calibrate_ = nullptr;
  getCalSteps_ = nullptr;
  getCalMode_ = nullptr;
  getCalProgress_ = nullptr;
  abortCalibration_ = nullptr;
  calibrateStep_ = nullptr;
  clearSamples_ = nullptr;
  getSampleCount_ = nullptr;
  setCurrentSample_ = nullptr;
  getSampleData_ = nullptr;
  configure_ = nullptr;
  getAvailableSettings_ = nullptr;
  getSettingOptions_ = nullptr;
  getOption_ = nullptr;
  setOption_ = nullptr;
  getLastErrorCode_ = nullptr;
  getLastErrorString_ = nullptr;
  execute_ = nullptr;
}

}  // namespace vdqrn
