// An instrument library for tests: every entry point appends "Name(args)" to
// a journal and returns the value a test scripted for its result type. The
// Recording_* exports let a test read the journal and script the results.
// Built twice: whole, and once without CalibrateStep (a library missing one
// export, which the driver must reject). Recording_SetThrow makes every entry
// point throw instead, as a faulty vendor library might.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>

#include "instrument/driver_api.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_WIN32)
#define RECORDING_EXPORT extern "C" __declspec(dllexport)
#else
#define RECORDING_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#define ENTRY(result) RECORDING_EXPORT result SPECTRO_CALL

namespace {

// What the entry points throw after recording their call.
enum ThrowKind {
  kThrowNothing = 0,
  kThrowInt = 1,              // not a class at all
  kThrowRuntimeError = 2,     // a standard exception: "recorded failure"
  kThrowUnrelatedClass = 3,   // a class outside the standard family
  kThrowNullWhat = 4,         // a standard exception whose what() is null
  // Windows only: as a library built with another compiler does.
  kThrowForeign = 5,          // its C++ throw: the exception 0xE06D7363
  kAbort = 6,                 // abort(), as its runtime does for an uncaught throw
};

struct UnrelatedFailure {
  int code;
};

class NullWhatFailure : public std::exception {
 public:
  const char* what() const noexcept override { return nullptr; }
};

struct Script {
  bool boolean = true;
  int integer = 0;
  float real = 0.0f;
  bool nullText = false;
  std::string text;
  int throwKind = kThrowNothing;
};

Script g_script;
std::string g_journal;
std::string g_journalCopy;

#if defined(_WIN32)
// What another compiler's runtime raises for `throw std::runtime_error(...)`:
// the code 0xE06D7363 with its magic number, the thrown object and the type
// description (on 64-bit also the image base those descriptions are relative
// to). Our module has no business reading the last two, so placeholders do.
[[noreturn]] void RaiseForeignCxxException() {
  static std::runtime_error thrown("recorded failure");
  static const std::uint32_t throwInfo[4] = {};
  const ULONG_PTR parameters[4] = {0x19930520, reinterpret_cast<ULONG_PTR>(&thrown),
                                   reinterpret_cast<ULONG_PTR>(&throwInfo),
                                   reinterpret_cast<ULONG_PTR>(GetModuleHandleA(nullptr))};
  RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, sizeof(void*) == 8 ? 4 : 3, parameters);
  std::abort();
}
#endif

template <typename... Args>
void Record(const char* name, const Args&... args) {
  std::ostringstream line;
  line << name << '(';
  [[maybe_unused]] const char* separator = "";
  ((line << separator << args, separator = ","), ...);
  line << ")\n";
  g_journal += line.str();
  switch (g_script.throwKind) {
    case kThrowInt: throw 7;
    case kThrowRuntimeError: throw std::runtime_error("recorded failure");
    case kThrowUnrelatedClass: throw UnrelatedFailure{7};
    case kThrowNullWhat: throw NullWhatFailure();
#if defined(_WIN32)
    case kThrowForeign: RaiseForeignCxxException();
    case kAbort: std::abort();
#endif
    default: break;
  }
}


const char* ScriptedText() { return g_script.nullText ? nullptr : g_script.text.c_str(); }

}  // namespace

RECORDING_EXPORT void Recording_Reset() {
  g_script = Script();
  g_journal.clear();
}
RECORDING_EXPORT const char* Recording_Journal() {
  g_journalCopy = g_journal;
  return g_journalCopy.c_str();
}
RECORDING_EXPORT void Recording_SetBool(bool value) { g_script.boolean = value; }
RECORDING_EXPORT void Recording_SetInt(int value) { g_script.integer = value; }
RECORDING_EXPORT void Recording_SetFloat(float value) { g_script.real = value; }
// A null text makes every text entry point return a null pointer.
RECORDING_EXPORT void Recording_SetText(const char* text) {
  g_script.nullText = text == nullptr;
  g_script.text = text != nullptr ? text : "";
}
// 0 returns normally; 1 to 6 throw or abort, see ThrowKind.
RECORDING_EXPORT void Recording_SetThrow(int kind) { g_script.throwKind = kind; }

ENTRY(bool) Connect() { Record("Connect"); return g_script.boolean; }
ENTRY(bool) Disconnect() { Record("Disconnect"); return g_script.boolean; }
ENTRY(bool) IsConnected() { Record("IsConnected"); return g_script.boolean; }
ENTRY(bool) SetLanguage(std::uint16_t language) {
  Record("SetLanguage", language);
  return g_script.boolean;
}
ENTRY(int) GetAngles() { Record("GetAngles"); return g_script.integer; }
ENTRY(int) GetWavelengths() { Record("GetWavelengths"); return g_script.integer; }
ENTRY(const char*) GetAngleValue(int angle) {
  Record("GetAngleValue", angle);
  return ScriptedText();
}
ENTRY(int) GetWavelengthValue(int wavelength) {
  Record("GetWavelengthValue", wavelength);
  return g_script.integer;
}
ENTRY(bool) Measure() { Record("Measure"); return g_script.boolean; }
ENTRY(float) GetSpectralData(int angle, int wavelength) {
  Record("GetSpectralData", angle, wavelength);
  return g_script.real;
}
ENTRY(bool) IsDataReady() { Record("IsDataReady"); return g_script.boolean; }
ENTRY(const char*) GetSerialNum() { Record("GetSerialNum"); return ScriptedText(); }
ENTRY(int) GetCalStatus() { Record("GetCalStatus"); return g_script.integer; }
ENTRY(bool) Calibrate() { Record("Calibrate"); return g_script.boolean; }
ENTRY(const char*) GetCalSteps() { Record("GetCalSteps"); return ScriptedText(); }
ENTRY(const char*) GetCalMode() { Record("GetCalMode"); return ScriptedText(); }
ENTRY(int) GetCalProgress() { Record("GetCalProgress"); return g_script.integer; }
ENTRY(bool) AbortCalibration() { Record("AbortCalibration"); return g_script.boolean; }
#ifndef RECORDING_WITHOUT_CALIBRATE_STEP
ENTRY(bool) CalibrateStep(const char* step) {
  Record("CalibrateStep", step);
  return g_script.boolean;
}
#endif
ENTRY(bool) ClearSamples() { Record("ClearSamples"); return g_script.boolean; }
ENTRY(int) GetSampleCount() { Record("GetSampleCount"); return g_script.integer; }
ENTRY(bool) SetCurrentSample(int sample) {
  Record("SetCurrentSample", sample);
  return g_script.boolean;
}
ENTRY(float) GetSampleData(int first, int second) {
  Record("GetSampleData", first, second);
  return g_script.real;
}
ENTRY(bool) Configure() { Record("Configure"); return g_script.boolean; }
ENTRY(const char*) GetAvailableSettings() {
  Record("GetAvailableSettings");
  return ScriptedText();
}
ENTRY(const char*) GetSettingOptions(const char* setting) {
  Record("GetSettingOptions", setting);
  return ScriptedText();
}
ENTRY(const char*) GetOption(const char* option) {
  Record("GetOption", option);
  return ScriptedText();
}
ENTRY(bool) SetOption(const char* option, const char* value) {
  Record("SetOption", option, value);
  return g_script.boolean;
}
ENTRY(int) GetLastErrorCode() { Record("GetLastErrorCode"); return g_script.integer; }
ENTRY(const char*) GetLastErrorString() {
  Record("GetLastErrorString");
  return ScriptedText();
}
ENTRY(const char*) Execute(const char* text) {
  Record("Execute", text);
  return ScriptedText();
}
