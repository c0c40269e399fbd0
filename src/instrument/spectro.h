// Binding to the instrument driver library: loads it by name from the current
// directory, resolves its 31 entry points (or rejects it whole), offers one
// call per entry point, and unloads it. Knows nothing of commands or texts.
#pragma once

#include <cstdint>

#include "instrument/spectro_api.h"
#include "platform/platform.h"

class Spectro {
 public:
  Spectro();
  ~Spectro();
  Spectro(const Spectro&) = delete;
  Spectro& operator=(const Spectro&) = delete;

  // Unloads any current library, then loads "{name}" from the current
  // directory and resolves every entry point. False leaves nothing loaded.
  bool LoadDriver(const char* name);
  void UnloadDriver();
  bool IsLoaded() const { return handle != nullptr; }

  // One call per entry point; only while a library is loaded.
  bool Connect() { return pfnConnect(); }
  bool Disconnect() { return pfnDisconnect(); }
  bool IsConnected() { return pfnIsConnected(); }
  bool SetLanguage(std::uint16_t language) { return pfnSetLanguage(language); }
  int GetAngles() { return pfnGetAngles(); }
  int GetWavelengths() { return pfnGetWavelengths(); }
  const char* GetAngleValue(int angle) { return pfnGetAngleValue(angle); }
  int GetWavelengthValue(int wavelength) { return pfnGetWavelengthValue(wavelength); }
  bool Measure() { return pfnMeasure(); }
  float GetSpectralData(int angle, int wavelength) { return pfnGetSpectralData(angle, wavelength); }
  bool IsDataReady() { return pfnIsDataReady(); }
  const char* GetSerialNum() { return pfnGetSerialNum(); }
  int GetCalStatus() { return pfnGetCalStatus(); }
  bool Calibrate() { return pfnCalibrate(); }
  const char* GetCalSteps() { return pfnGetCalSteps(); }
  const char* GetCalMode() { return pfnGetCalMode(); }
  int GetCalProgress() { return pfnGetCalProgress(); }
  bool AbortCalibration() { return pfnAbortCalibration(); }
  bool CalibrateStep(const char* step) { return pfnCalibrateStep(step); }
  bool ClearSamples() { return pfnClearSamples(); }
  int GetSampleCount() { return pfnGetSampleCount(); }
  bool SetCurrentSample(int sample) { return pfnSetCurrentSample(sample); }
  float GetSampleData(int first, int second) { return pfnGetSampleData(first, second); }
  bool Configure() { return pfnConfigure(); }
  const char* GetAvailableSettings() { return pfnGetAvailableSettings(); }
  const char* GetSettingOptions(const char* setting) { return pfnGetSettingOptions(setting); }
  const char* GetOption(const char* option) { return pfnGetOption(option); }
  bool SetOption(const char* option, const char* value) { return pfnSetOption(option, value); }
  int GetLastErrorCode() { return pfnGetLastErrorCode(); }
  const char* GetLastErrorString() { return pfnGetLastErrorString(); }
  const char* Execute(const char* text) { return pfnExecute(text); }

 private:
  void ClearEntryPoints();

  platform::LibraryHandle handle;
  spectro_api::Connect pfnConnect;
  spectro_api::Disconnect pfnDisconnect;
  spectro_api::IsConnected pfnIsConnected;
  spectro_api::SetLanguage pfnSetLanguage;
  spectro_api::GetAngles pfnGetAngles;
  spectro_api::GetWavelengths pfnGetWavelengths;
  spectro_api::GetAngleValue pfnGetAngleValue;
  spectro_api::GetWavelengthValue pfnGetWavelengthValue;
  spectro_api::Measure pfnMeasure;
  spectro_api::GetSpectralData pfnGetSpectralData;
  spectro_api::IsDataReady pfnIsDataReady;
  spectro_api::GetSerialNum pfnGetSerialNum;
  spectro_api::GetCalStatus pfnGetCalStatus;
  spectro_api::Calibrate pfnCalibrate;
  spectro_api::GetCalSteps pfnGetCalSteps;
  spectro_api::GetCalMode pfnGetCalMode;
  spectro_api::GetCalProgress pfnGetCalProgress;
  spectro_api::AbortCalibration pfnAbortCalibration;
  spectro_api::CalibrateStep pfnCalibrateStep;
  spectro_api::ClearSamples pfnClearSamples;
  spectro_api::GetSampleCount pfnGetSampleCount;
  spectro_api::SetCurrentSample pfnSetCurrentSample;
  spectro_api::GetSampleData pfnGetSampleData;
  spectro_api::Configure pfnConfigure;
  spectro_api::GetAvailableSettings pfnGetAvailableSettings;
  spectro_api::GetSettingOptions pfnGetSettingOptions;
  spectro_api::GetOption pfnGetOption;
  spectro_api::SetOption pfnSetOption;
  spectro_api::GetLastErrorCode pfnGetLastErrorCode;
  spectro_api::GetLastErrorString pfnGetLastErrorString;
  spectro_api::Execute pfnExecute;
};
