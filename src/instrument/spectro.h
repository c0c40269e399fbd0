// Spectro, the door to the instrument driver library: loads it by name from
// the current directory, resolves its 31 entry points (or rejects it whole),
// offers one call per entry point, and unloads it. Knows nothing of commands
// or texts.
#pragma once

#include <cstdint>
#include <tuple>

#include "instrument/driver_api.h"
#include "platform/platform.h"

namespace vdqrn {

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
  bool IsLoaded() const { return handle_ != nullptr; }

  // One call per entry point; only while a library is loaded.
  bool Connect() { return Call(connect_); }
  bool Disconnect() { return Call(disconnect_); }
  bool IsConnected() { return Call(isConnected_); }
  bool SetLanguage(std::uint16_t language) { return Call(setLanguage_, language); }
  int GetAngles() { return Call(getAngles_); }
  int GetWavelengths() { return Call(getWavelengths_); }
  const char* GetAngleValue(int angle) { return Call(getAngleValue_, angle); }
  int GetWavelengthValue(int wavelength) { return Call(getWavelengthValue_, wavelength); }
  bool Measure() { return Call(measure_); }
  float GetSpectralData(int angle, int wavelength) { return Call(getSpectralData_, angle, wavelength); }
  bool IsDataReady() { return Call(isDataReady_); }
  const char* GetSerialNum() { return Call(getSerialNum_); }
  int GetCalStatus() { return Call(getCalStatus_); }
  bool Calibrate() { return Call(calibrate_); }
  const char* GetCalSteps() { return Call(getCalSteps_); }
  const char* GetCalMode() { return Call(getCalMode_); }
  int GetCalProgress() { return Call(getCalProgress_); }
  bool AbortCalibration() { return Call(abortCalibration_); }
  bool CalibrateStep(const char* step) { return Call(calibrateStep_, step); }
  bool ClearSamples() { return Call(clearSamples_); }
  int GetSampleCount() { return Call(getSampleCount_); }
  bool SetCurrentSample(int sample) { return Call(setCurrentSample_, sample); }
  float GetSampleData(int first, int second) { return Call(getSampleData_, first, second); }
  bool Configure() { return Call(configure_); }
  const char* GetAvailableSettings() { return Call(getAvailableSettings_); }
  const char* GetSettingOptions(const char* setting) { return Call(getSettingOptions_, setting); }
  const char* GetOption(const char* option) { return Call(getOption_, option); }
  bool SetOption(const char* option, const char* value) { return Call(setOption_, option, value); }
  int GetLastErrorCode() { return Call(getLastErrorCode_); }
  const char* GetLastErrorString() { return Call(getLastErrorString_); }
  const char* Execute(const char* text) { return Call(execute_, text); }

 private:
  // Calls one entry point through platform::CallGuarded; throws
  // LibraryCallCutShort when the call did not return.
  template <typename Result, typename... Params, typename... Args>
  static Result Call(Result(SPECTRO_CALL* entry)(Params...), Args... args);
  void ClearEntryPoints();

  platform::LibraryHandle handle_;
  driver_api::Connect connect_;
  driver_api::Disconnect disconnect_;
  driver_api::IsConnected isConnected_;
  driver_api::SetLanguage setLanguage_;
  driver_api::GetAngles getAngles_;
  driver_api::GetWavelengths getWavelengths_;
  driver_api::GetAngleValue getAngleValue_;
  driver_api::GetWavelengthValue getWavelengthValue_;
  driver_api::Measure measure_;
  driver_api::GetSpectralData getSpectralData_;
  driver_api::IsDataReady isDataReady_;
  driver_api::GetSerialNum getSerialNum_;
  driver_api::GetCalStatus getCalStatus_;
  driver_api::Calibrate calibrate_;
  driver_api::GetCalSteps getCalSteps_;
  driver_api::GetCalMode getCalMode_;
  driver_api::GetCalProgress getCalProgress_;
  driver_api::AbortCalibration abortCalibration_;
  driver_api::CalibrateStep calibrateStep_;
  driver_api::ClearSamples clearSamples_;
  driver_api::GetSampleCount getSampleCount_;
  driver_api::SetCurrentSample setCurrentSample_;
  driver_api::GetSampleData getSampleData_;
  driver_api::Configure configure_;
  driver_api::GetAvailableSettings getAvailableSettings_;
  driver_api::GetSettingOptions getSettingOptions_;
  driver_api::GetOption getOption_;
  driver_api::SetOption setOption_;
  driver_api::GetLastErrorCode getLastErrorCode_;
  driver_api::GetLastErrorString getLastErrorString_;
  driver_api::Execute execute_;
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

}  // namespace vdqrn
