// The library's 31 entry points, exported under their plain names. Each one
// forwards to the process's single simulated instrument under a lock, and all
// but the two error getters first clear the last error, so that the error
// always describes the call just made. A returned text lives in a buffer of
// its own entry point: it stays valid until that entry point is called again.
#include <cstdint>
#include <mutex>
#include <string>
#include <type_traits>

#include "instrument/driver_api.h"
#include "platform/cxx_runtime_release.h"
#include "simulated_instrument.h"

#if defined(_WIN32)
#define SIMSPECTRO_EXPORT extern "C" __declspec(dllexport)
#else
#define SIMSPECTRO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Declared first: released after every other static of this file.
[[maybe_unused]] const vdqrn::platform::CxxRuntimeRelease g_cxxRuntimeRelease;

std::mutex instrumentMutex;
simspectro::SimulatedInstrument instrument;

template <typename Action>
auto Run(Action action) {
  std::lock_guard<std::mutex> lock(instrumentMutex);
  instrument.ClearError();
  return action(instrument);
}

template <typename Action>
const char* RunText(std::string& buffer, Action action) {
  std::lock_guard<std::mutex> lock(instrumentMutex);
  instrument.ClearError();
  buffer = action(instrument);
  return buffer.c_str();
}

using Instrument = simspectro::SimulatedInstrument;

}  // namespace

SIMSPECTRO_EXPORT bool SPECTRO_CALL Connect() {
  return Run([](Instrument& i) { return i.Connect(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL Disconnect() {
  return Run([](Instrument& i) { return i.Disconnect(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL IsConnected() {
  return Run([](Instrument& i) { return i.IsConnected(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL SetLanguage(std::uint16_t language) {
  return Run([language](Instrument& i) { return i.SetLanguage(language); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetAngles() {
  return Run([](Instrument& i) { return i.GetAngles(); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetWavelengths() {
  return Run([](Instrument& i) { return i.GetWavelengths(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetAngleValue(int angle) {
  static std::string text;
  return RunText(text, [angle](Instrument& i) { return i.GetAngleValue(angle); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetWavelengthValue(int wavelength) {
  return Run([wavelength](Instrument& i) { return i.GetWavelengthValue(wavelength); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL Measure() {
  return Run([](Instrument& i) { return i.Measure(); });
}

SIMSPECTRO_EXPORT float SPECTRO_CALL GetSpectralData(int angle, int wavelength) {
  return Run([=](Instrument& i) { return i.GetSpectralData(angle, wavelength); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL IsDataReady() {
  return Run([](Instrument& i) { return i.IsDataReady(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetSerialNum() {
  static std::string text;
  return RunText(text, [](Instrument& i) { return i.GetSerialNum(); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetCalStatus() {
  return Run([](Instrument& i) { return i.GetCalStatus(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL Calibrate() {
  return Run([](Instrument& i) { return i.Calibrate(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetCalSteps() {
  static std::string text;
  return RunText(text, [](Instrument& i) { return i.GetCalSteps(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetCalMode() {
  static std::string text;
  return RunText(text, [](Instrument& i) { return i.GetCalMode(); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetCalProgress() {
  return Run([](Instrument& i) { return i.GetCalProgress(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL AbortCalibration() {
  return Run([](Instrument& i) { return i.AbortCalibration(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL CalibrateStep(const char* step) {
  return Run([step](Instrument& i) { return i.CalibrateStep(step); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL ClearSamples() {
  return Run([](Instrument& i) { return i.ClearSamples(); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetSampleCount() {
  return Run([](Instrument& i) { return i.GetSampleCount(); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL SetCurrentSample(int sample) {
  return Run([sample](Instrument& i) { return i.SetCurrentSample(sample); });
}

SIMSPECTRO_EXPORT float SPECTRO_CALL GetSampleData(int first, int second) {
  return Run([=](Instrument& i) { return i.GetSampleData(first, second); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL Configure() {
  return Run([](Instrument& i) { return i.Configure(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetAvailableSettings() {
  static std::string text;
  return RunText(text, [](Instrument& i) { return i.GetAvailableSettings(); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetSettingOptions(const char* setting) {
  static std::string text;
  return RunText(text, [setting](Instrument& i) { return i.GetSettingOptions(setting); });
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetOption(const char* option) {
  static std::string text;
  return RunText(text, [option](Instrument& i) { return i.GetOption(option); });
}

SIMSPECTRO_EXPORT bool SPECTRO_CALL SetOption(const char* option, const char* value) {
  return Run([=](Instrument& i) { return i.SetOption(option, value); });
}

SIMSPECTRO_EXPORT int SPECTRO_CALL GetLastErrorCode() {
  std::lock_guard<std::mutex> lock(instrumentMutex);
  return instrument.GetLastErrorCode();
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL GetLastErrorString() {
  std::lock_guard<std::mutex> lock(instrumentMutex);
  return instrument.GetLastErrorString();  // a fixed text
}

SIMSPECTRO_EXPORT const char* SPECTRO_CALL Execute(const char* text) {
  static std::string answer;
  return RunText(answer, [text](Instrument& i) { return i.Execute(text); });
}

// Every entry point of the list is exported, with exactly the type the driver
// calls it through.
#define SIMSPECTRO_CHECK_EXPORT(name, result, parameters, arguments) \
  static_assert(std::is_same_v<decltype(&name), vdqrn::driver_api::name>);
VDQRN_ENTRY_POINTS(SIMSPECTRO_CHECK_EXPORT)
#undef SIMSPECTRO_CHECK_EXPORT
