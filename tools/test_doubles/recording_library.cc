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

// The scripted value of each result type.
template <typename Result>
Result Scripted();
template <>
bool Scripted<bool>() { return g_script.boolean; }
template <>
int Scripted<int>() { return g_script.integer; }
template <>
float Scripted<float>() { return g_script.real; }
template <>
const char* Scripted<const char*>() { return ScriptedText(); }

// Records one call: Recorder{"Name"}(args...).
struct Recorder {
  const char* name;
  template <typename... Args>
  void operator()(const Args&... args) const { Record(name, args...); }
};

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

// Every entry point of the list: records "Name(args)", then returns the
// scripted value of its result type. Without CalibrateStep, that one is
// exported under another name, so the library lacks it.
#if defined(RECORDING_WITHOUT_CALIBRATE_STEP)
#define CalibrateStep CalibrateStep_NotExported
#endif
#define RECORDING_ENTRY_POINT(name, result, parameters, arguments) \
  ENTRY(result) name parameters {                                  \
    Recorder{#name} arguments;                                     \
    return Scripted<result>();                                     \
  }
VDQRN_ENTRY_POINTS(RECORDING_ENTRY_POINT)
#undef RECORDING_ENTRY_POINT
