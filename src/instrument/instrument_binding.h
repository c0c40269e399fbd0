// Binding to the instrument driver library: loads it by name from the current
// directory, resolves its 31 entry points (or rejects it whole), offers one
// call per entry point, and unloads it. Knows nothing of commands or texts.
#pragma once

#include <cstdint>

#include "instrument/driver_api.h"
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
  driver_api::Connect pfnConnect;
  driver_api::Disconnect pfnDisconnect;
  driver_api::IsConnected pfnIsConnected;
  driver_api::SetLanguage pfnSetLanguage;
  driver_api::GetAngles pfnGetAngles;
  driver_api::GetWavelengths pfnGetWavelengths;
  driver_api::GetAngleValue pfnGetAngleValue;
  driver_api::GetWavelengthValue pfnGetWavelengthValue;
  driver_api::Measure pfnMeasure;
  driver_api::GetSpectralData pfnGetSpectralData;
  driver_api::IsDataReady pfnIsDataReady;
  driver_api::GetSerialNum pfnGetSerialNum;
  driver_api::GetCalStatus pfnGetCalStatus;
  driver_api::Calibrate pfnCalibrate;
  driver_api::GetCalSteps pfnGetCalSteps;
  driver_api::GetCalMode pfnGetCalMode;
  driver_api::GetCalProgress pfnGetCalProgress;
  driver_api::AbortCalibration pfnAbortCalibration;
  driver_api::CalibrateStep pfnCalibrateStep;
  driver_api::ClearSamples pfnClearSamples;
  driver_api::GetSampleCount pfnGetSampleCount;
  driver_api::SetCurrentSample pfnSetCurrentSample;
  driver_api::GetSampleData pfnGetSampleData;
  driver_api::Configure pfnConfigure;
  driver_api::GetAvailableSettings pfnGetAvailableSettings;
  driver_api::GetSettingOptions pfnGetSettingOptions;
  driver_api::GetOption pfnGetOption;
  driver_api::SetOption pfnSetOption;
  driver_api::GetLastErrorCode pfnGetLastErrorCode;
  driver_api::GetLastErrorString pfnGetLastErrorString;
  driver_api::Execute pfnExecute;
};
