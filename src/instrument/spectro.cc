#include "instrument/spectro.h"

#include <string>

namespace {

// Looks one export up into its typed slot; false when the library lacks it.
template <typename EntryPoint>
bool Resolve(platform::LibraryHandle library, const char* name, EntryPoint& slot) {
  slot = reinterpret_cast<EntryPoint>(platform::FindExport(library, name));
  return slot != nullptr;
}

}  // namespace

Spectro::Spectro() : handle(nullptr) { ClearEntryPoints(); }

Spectro::~Spectro() {
  if (handle != nullptr) {
    platform::FreeDynamicLibrary(handle);
    handle = nullptr;
  }
}

bool Spectro::LoadDriver(const char* name) {
  UnloadDriver();

  // A path that would not fit the platform's path buffer is not tried.
  const std::string path =
      std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
  if (path.size() >= platform::kMaxPath) return false;

  handle = platform::LoadDynamicLibrary(path.c_str());
  if (handle == nullptr) return false;

  // Looked up in this order; the first missing name rejects the library and
  // the names after it are not looked up.
  const bool complete =
      Resolve(handle, "Connect", pfnConnect) &&
      Resolve(handle, "Disconnect", pfnDisconnect) &&
      Resolve(handle, "IsConnected", pfnIsConnected) &&
      Resolve(handle, "SetLanguage", pfnSetLanguage) &&
      Resolve(handle, "GetAngles", pfnGetAngles) &&
      Resolve(handle, "GetWavelengths", pfnGetWavelengths) &&
      Resolve(handle, "GetAngleValue", pfnGetAngleValue) &&
      Resolve(handle, "GetWavelengthValue", pfnGetWavelengthValue) &&
      Resolve(handle, "Measure", pfnMeasure) &&
      Resolve(handle, "GetSpectralData", pfnGetSpectralData) &&
      Resolve(handle, "IsDataReady", pfnIsDataReady) &&
      Resolve(handle, "GetSerialNum", pfnGetSerialNum) &&
      Resolve(handle, "GetCalStatus", pfnGetCalStatus) &&
      Resolve(handle, "Calibrate", pfnCalibrate) &&
      Resolve(handle, "GetCalSteps", pfnGetCalSteps) &&
      Resolve(handle, "GetCalMode", pfnGetCalMode) &&
      Resolve(handle, "CalibrateStep", pfnCalibrateStep) &&
      Resolve(handle, "GetCalProgress", pfnGetCalProgress) &&
      Resolve(handle, "AbortCalibration", pfnAbortCalibration) &&
      Resolve(handle, "ClearSamples", pfnClearSamples) &&
      Resolve(handle, "GetSampleCount", pfnGetSampleCount) &&
      Resolve(handle, "SetCurrentSample", pfnSetCurrentSample) &&
      Resolve(handle, "GetSampleData", pfnGetSampleData) &&
      Resolve(handle, "Configure", pfnConfigure) &&
      Resolve(handle, "GetAvailableSettings", pfnGetAvailableSettings) &&
      Resolve(handle, "GetSettingOptions", pfnGetSettingOptions) &&
      Resolve(handle, "GetOption", pfnGetOption) &&
      Resolve(handle, "SetOption", pfnSetOption) &&
      Resolve(handle, "GetLastErrorCode", pfnGetLastErrorCode) &&
      Resolve(handle, "GetLastErrorString", pfnGetLastErrorString) &&
      Resolve(handle, "Execute", pfnExecute);
  if (!complete) UnloadDriver();
  return complete;
}

void Spectro::UnloadDriver() {
  if (handle != nullptr) {
    platform::FreeDynamicLibrary(handle);
    handle = nullptr;
  }
  ClearEntryPoints();
}

void Spectro::ClearEntryPoints() {
  pfnConnect = nullptr;
  pfnDisconnect = nullptr;
  pfnIsConnected = nullptr;
  pfnSetLanguage = nullptr;
  pfnGetAngles = nullptr;
  pfnGetWavelengths = nullptr;
  pfnGetAngleValue = nullptr;
  pfnGetWavelengthValue = nullptr;
  pfnMeasure = nullptr;
  pfnGetSpectralData = nullptr;
  pfnIsDataReady = nullptr;
  pfnGetSerialNum = nullptr;
  pfnGetCalStatus = nullptr;
  pfnCalibrate = nullptr;
  pfnGetCalSteps = nullptr;
  pfnGetCalMode = nullptr;
  pfnGetCalProgress = nullptr;
  pfnAbortCalibration = nullptr;
  pfnCalibrateStep = nullptr;
  pfnClearSamples = nullptr;
  pfnGetSampleCount = nullptr;
  pfnSetCurrentSample = nullptr;
  pfnGetSampleData = nullptr;
  pfnConfigure = nullptr;
  pfnGetAvailableSettings = nullptr;
  pfnGetSettingOptions = nullptr;
  pfnGetOption = nullptr;
  pfnSetOption = nullptr;
  pfnGetLastErrorCode = nullptr;
  pfnGetLastErrorString = nullptr;
  pfnExecute = nullptr;
}
