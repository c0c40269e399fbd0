// Binding to the instrument driver library: loads it by name from the current
// directory, resolves its 31 entry points (or rejects it whole), offers one
// call per entry point, and unloads it. Knows nothing of commands or texts.
#pragma once

#include <cstdint>
#include <tuple>

#include "instrument/driver_api.h"
#include "platform/platform.h"

// Thrown by a call operation whose library call was cut short: the library
// raised what our runtime cannot catch (another compiler's C++ exception, an
// abort). Outside the standard exception family on purpose: its reason cannot
// be read, so the command is answered as any such exception is.
struct LibraryCallCutShort {};

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
  bool Connect() { return Call(pfnConnect); }
  bool Disconnect() { return Call(pfnDisconnect); }
  bool IsConnected() { return Call(pfnIsConnected); }
  bool SetLanguage(std::uint16_t language) { return Call(pfnSetLanguage, language); }
  int GetAngles() { return Call(pfnGetAngles); }
  int GetWavelengths() { return Call(pfnGetWavelengths); }
  const char* GetAngleValue(int angle) { return Call(pfnGetAngleValue, angle); }
  int GetWavelengthValue(int wavelength) { return Call(pfnGetWavelengthValue, wavelength); }
  bool Measure() { return Call(pfnMeasure); }
  float GetSpectralData(int angle, int wavelength) { return Call(pfnGetSpectralData, angle, wavelength); }
  bool IsDataReady() { return Call(pfnIsDataReady); }
  const char* GetSerialNum() { return Call(pfnGetSerialNum); }
  int GetCalStatus() { return Call(pfnGetCalStatus); }
  bool Calibrate() { return Call(pfnCalibrate); }
  const char* GetCalSteps() { return Call(pfnGetCalSteps); }
  const char* GetCalMode() { return Call(pfnGetCalMode); }
  int GetCalProgress() { return Call(pfnGetCalProgress); }
  bool AbortCalibration() { return Call(pfnAbortCalibration); }
  bool CalibrateStep(const char* step) { return Call(pfnCalibrateStep, step); }
  bool ClearSamples() { return Call(pfnClearSamples); }
  int GetSampleCount() { return Call(pfnGetSampleCount); }
  bool SetCurrentSample(int sample) { return Call(pfnSetCurrentSample, sample); }
  float GetSampleData(int first, int second) { return Call(pfnGetSampleData, first, second); }
  bool Configure() { return Call(pfnConfigure); }
  const char* GetAvailableSettings() { return Call(pfnGetAvailableSettings); }
  const char* GetSettingOptions(const char* setting) { return Call(pfnGetSettingOptions, setting); }
  const char* GetOption(const char* option) { return Call(pfnGetOption, option); }
  bool SetOption(const char* option, const char* value) { return Call(pfnSetOption, option, value); }
  int GetLastErrorCode() { return Call(pfnGetLastErrorCode); }
  const char* GetLastErrorString() { return Call(pfnGetLastErrorString); }
  const char* Execute(const char* text) { return Call(pfnExecute, text); }

 private:
  // Calls one entry point through platform::CallGuarded; throws
  // LibraryCallCutShort when the call did not return.
  template <typename Result, typename... Params, typename... Args>
  static Result Call(Result(SPECTRO_CALL* entry)(Params...), Args... args);
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

template <typename Result, typename... Params, typename... Args>
Result Spectro::Call(Result(SPECTRO_CALL* entry)(Params...), Args... args) {
  struct Frame {
    Result(SPECTRO_CALL* entry)(Params...);
    std::tuple<Params...> arguments;
    Result result;
  } frame{entry, std::tuple<Params...>(args...), Result()};
  const platform::GuardedProcedure call = [](void* context) {
    Frame* const pending = static_cast<Frame*>(context);
    pending->result = std::apply(pending->entry, pending->arguments);
  };
  if (!platform::CallGuarded(call, &frame)) throw LibraryCallCutShort();
  return frame.result;
}
