// An instrument library for tests: every entry point appends "Name(args)" to
// a journal and returns the value a test scripted for its result type. The
// Recording_* exports let a test read the journal and script the results.
// Built twice: whole, and once without CalibrateStep (a library missing one
// export, which the driver must reject). Recording_SetThrow makes every entry
// point throw instead, as a faulty vendor library might, or crash, or hang.
//
// When VDQRN_RECORDING_STATE names a folder, the script and the journal live
// in files there, so that a copy of the library in an instrument host (of
// another architecture) and the test's copy share them.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>
#include <stdexcept>
#include <string>

#include "instrument/driver_api.h"
#include "platform/cxx_runtime_release.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#if defined(_WIN32)
#define RECORDING_EXPORT extern "C" __declspec(dllexport)
#else
#define RECORDING_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#define ENTRY(result) RECORDING_EXPORT result SPECTRO_CALL

namespace {

// Declared first: released after every other static of this file (a build
// that links the C++ runtime into the library would leak its reserve at
// each unload otherwise).
[[maybe_unused]] const vdqrn::platform::CxxRuntimeRelease g_cxxRuntimeRelease;

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
  kCrash = 7,                 // writes through a null pointer: the process ends
  kHang = 8,                  // never returns
  kSpawn = 9,                 // POSIX: starts a process that sleeps a minute, then returns
  // Windows only, as libraries of other runtimes do.
  kThrowDelphi = 10,          // the Delphi runtime's exception 0x0EEDFADE
  kThrowBuilder = 11,         // the C++Builder runtime's exception 0x0EEFFACE
  // Windows only: takes the library's lock (which every call waits for, and
  // so do its thread and exit notifications), then aborts (the lock stays
  // held), throws as another compiler does (the lock is given back by the
  // unwinding of the library's own frame, as a C++ or Delphi library's is),
  // or crashes (an access violation: the lock stays held).
  kLockAndAbort = 12,
  kLockAndThrowForeign = 13,
  kLockAndCrash = 14,
  kIllegalInstruction = 15,   // Windows only: an instruction the processor refuses
  // Throws "recorded failure" and catches it itself, then returns as usual:
  // its runtime keeps that thread's exception state, nothing leaves.
  kThrowCaughtInside = 16,
};

struct UnrelatedFailure {
  int code;
};

class NullWhatFailure : public std::exception {
 public:
  const char* what() const noexcept override { return nullptr; }
};

struct Script {
  int boolean = 1;  // the byte a bool entry point returns
  int integer = 0;
  float real = 0.0f;
  bool nullText = false;
  std::string text;
  int throwKind = kThrowNothing;
};

Script g_script;
// Called once by the next entry point, after it recorded its call: as a
// library that shows a dialog lets the engine deliver more data meanwhile.
void (*g_reentry)() = nullptr;
std::string g_journal;
std::string g_journalCopy;

// The folder of the shared state, or null when the state is this copy's own.
const char* StateFolder() {
#if defined(_WIN32)
  // The system's environment: the C runtime's copy may be another module's.
  static char folder[MAX_PATH + 1];
  const DWORD length = GetEnvironmentVariableA("VDQRN_RECORDING_STATE", folder, sizeof folder);
  return length > 0 && length < sizeof folder ? folder : nullptr;
#else
  const char* folder = std::getenv("VDQRN_RECORDING_STATE");
  return folder != nullptr && *folder != '\0' ? folder : nullptr;
#endif
}

std::string StateFile(const char* name) { return std::string(StateFolder()) + "/" + name; }

// The script file: the flag, the number, the float's bits, the null flag and
// the throw kind on the first line, the text after it.
void SaveScript() {
  if (StateFolder() == nullptr) return;
  std::uint32_t bits;
  std::memcpy(&bits, &g_script.real, sizeof bits);
  std::ofstream file(StateFile("script"), std::ios::binary | std::ios::trunc);
  file << g_script.boolean << ' ' << g_script.integer << ' ' << bits << ' ' << g_script.nullText
       << ' ' << g_script.throwKind << '\n'
       << g_script.text;
}

void LoadScript() {
  if (StateFolder() == nullptr) return;
  std::ifstream file(StateFile("script"), std::ios::binary);
  std::uint32_t bits = 0;
  if (!(file >> g_script.boolean >> g_script.integer >> bits >> g_script.nullText >>
        g_script.throwKind)) {
    g_script = Script();
    return;
  }
  std::memcpy(&g_script.real, &bits, sizeof bits);
  file.get();
  std::ostringstream text;
  text << file.rdbuf();
  g_script.text = text.str();
}

void AppendJournal(const std::string& line) {
  if (StateFolder() == nullptr) {
    g_journal += line;
    return;
  }
  std::ofstream(StateFile("journal"), std::ios::binary | std::ios::app) << line;
}

void LoadJournal() {
  if (StateFolder() == nullptr) return;
  std::ifstream file(StateFile("journal"), std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  g_journal = text.str();
}

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

#if defined(_WIN32)
// The library's own lock, not recursive (a semaphore of one): every call
// waits for it and gives it back, unless it was cut short holding it.
HANDLE LibraryLock() {
  static const HANDLE lock = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  return lock;
}
void TakeLibraryLock() { WaitForSingleObject(LibraryLock(), INFINITE); }
void GiveLibraryLock() { ReleaseSemaphore(LibraryLock(), 1, nullptr); }

}  // namespace

// void recording_hold_frame(void (*body)()): calls body inside a frame whose
// handler gives the library's lock back when an unwind passes the frame.
extern "C" {
void recording_hold_frame(void (*body)());
EXCEPTION_DISPOSITION recording_frame_handler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
  if ((record->ExceptionFlags & EXCEPTION_UNWINDING) != 0) GiveLibraryLock();
  return ExceptionContinueSearch;
}
}
#if defined(__x86_64__)
asm(R"(
    .text
    .globl recording_hold_frame
    .def recording_hold_frame; .scl 2; .type 32; .endef
    .seh_proc recording_hold_frame
recording_hold_frame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler recording_frame_handler, @unwind
    callq *%rcx
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");
#elif defined(__aarch64__)
// On 64-bit ARM the handler is asked while exceptions are dispatched too
// (there are no flags to choose); it acts during unwinds only.
asm(R"(
    .text
    .globl recording_hold_frame
    .def recording_hold_frame; .scl 2; .type 32; .endef
    .p2align 2
    .seh_proc recording_hold_frame
recording_hold_frame:
    stp x29, x30, [sp, #-16]!
    .seh_save_fplr_x 16
    mov x29, sp
    .seh_set_fp
    .seh_endprologue
    .seh_handler recording_frame_handler, @except, @unwind
    blr x0
    .seh_startepilogue
    ldp x29, x30, [sp], #16
    .seh_save_fplr_x 16
    .seh_endepilogue
    ret
    .seh_endproc
)");
#else
asm(R"(
    .text
    .globl _recording_hold_frame
_recording_hold_frame:
    pushl %ebp
    movl %esp, %ebp
    pushl $_recording_frame_handler
    pushl %fs:0
    movl %esp, %fs:0
    call *8(%ebp)
    popl %ecx
    movl %ecx, %fs:0
    addl $4, %esp
    popl %ebp
    ret
)");
#endif

namespace {

// The file Connect opens for itself alone, as a library opens its
// instrument's serial port (empty: none); its handle stays open for the
// rest of the process, as a port does until Disconnect.
std::string g_port;
HANDLE g_portHandle = INVALID_HANDLE_VALUE;
bool g_connectRefused = false;

void LoadPort() {
  if (StateFolder() == nullptr) return;
  std::ifstream file(std::string(StateFolder()) + "/portname", std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  g_port = text.str();
}

// Connect fails (returns false) when another holds the port.
void OpenPort() {
  LoadPort();
  if (g_port.empty() || g_portHandle != INVALID_HANDLE_VALUE) return;
  g_portHandle = CreateFileA(g_port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  g_connectRefused = g_portHandle == INVALID_HANDLE_VALUE;
}

// Raises the exception 0xE06D7363 from a frame of the library's own that
// holds its lock and gives it back when the catching side unwinds it, as
// the frames of a C++ or Delphi library do (their handlers run cleanups
// during an unwind). Our compiler's frames run no cleanups for a foreign
// exception, so the frame is written out: its handler is asked during
// unwinds only.
void ThrowHoldingTheLock() { recording_hold_frame(&RaiseForeignCxxException); }
#endif

#if !defined(_WIN32)
// A process of the library's own, as a vendor library may start a helper;
// its id goes to the state folder's file "spawned".
void Spawn() {
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child > 0 && StateFolder() != nullptr) std::ofstream(StateFile("spawned")) << child;
}
#endif

template <typename... Args>
void Record(const char* name, const Args&... args) {
  LoadScript();
  std::ostringstream line;
  line << name << '(';
  [[maybe_unused]] const char* separator = "";
  ((line << separator << args, separator = ","), ...);
  line << ")\n";
  AppendJournal(line.str());
  if (g_reentry != nullptr) {
    void (*const reentry)() = g_reentry;
    g_reentry = nullptr;
    reentry();
  }
#if defined(_WIN32)
  if (std::strcmp(name, "Connect") == 0) OpenPort();
  TakeLibraryLock();
  if (g_script.throwKind == kLockAndAbort) std::abort();
  if (g_script.throwKind == kLockAndThrowForeign) ThrowHoldingTheLock();
  if (g_script.throwKind == kLockAndCrash) {
    volatile std::uintptr_t nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 7;
  }
  GiveLibraryLock();
#endif
  switch (g_script.throwKind) {
    case kThrowInt: throw 7;
    case kThrowRuntimeError: throw std::runtime_error("recorded failure");
    case kThrowUnrelatedClass: throw UnrelatedFailure{7};
    case kThrowNullWhat: throw NullWhatFailure();
    case kThrowCaughtInside:
      try {
        throw std::runtime_error("recorded failure");
      } catch (const std::runtime_error&) {
      }
      break;
#if defined(_WIN32)
    case kThrowForeign: RaiseForeignCxxException();
    case kAbort: std::abort();
    case kThrowDelphi: RaiseException(0x0EEDFADE, EXCEPTION_NONCONTINUABLE, 0, nullptr); break;
    case kThrowBuilder: RaiseException(0x0EEFFACE, EXCEPTION_NONCONTINUABLE, 0, nullptr); break;
#if defined(__aarch64__)
    case kIllegalInstruction: asm volatile("udf #0"); break;
#else
    case kIllegalInstruction: asm volatile("ud2"); break;
#endif
#endif
    case kCrash: {
      volatile std::uintptr_t nowhere = 0;  // read back: the compiler cannot see it is null
      *reinterpret_cast<volatile int*>(nowhere) = 7;
      break;
    }
    case kHang:
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
#if !defined(_WIN32)
    case kSpawn: Spawn(); break;
#endif
    default: break;
  }
}


const char* ScriptedText() { return g_script.nullText ? nullptr : g_script.text.c_str(); }

// What an entry point returns for each result type of the list: a bool
// entry point returns a byte, as a library of another compiler may return any
// non-zero low byte (a Windows BOOL) for true.
template <typename Result>
struct Returned {
  using Type = Result;
};
template <>
struct Returned<bool> {
  using Type = unsigned char;
};

// The scripted value of each result type.
template <typename Result>
typename Returned<Result>::Type Scripted();
template <>
unsigned char Scripted<bool>() {
#if defined(_WIN32)
  if (g_connectRefused) {
    g_connectRefused = false;
    return 0;
  }
#endif
  return static_cast<unsigned char>(g_script.boolean);
}
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
#if defined(_WIN32)
  GiveLibraryLock();  // after a call cut short holding it; refused when free
#endif
  g_script = Script();
  g_reentry = nullptr;
  g_journal.clear();
  SaveScript();
  if (StateFolder() != nullptr) std::ofstream(StateFile("journal"), std::ios::trunc);
}
RECORDING_EXPORT const char* Recording_Journal() {
  LoadJournal();
  g_journalCopy = g_journal;
  return g_journalCopy.c_str();
}
// This process's own: a procedure the next entry point calls during its call.
RECORDING_EXPORT void Recording_SetReentry(void (*reentry)()) { g_reentry = reentry; }
// The byte every bool entry point returns: 0 is false, anything else true.
RECORDING_EXPORT void Recording_SetBoolByte(int low) {
  LoadScript();
  g_script.boolean = low & 0xFF;
  SaveScript();
}
RECORDING_EXPORT void Recording_SetInt(int value) {
  LoadScript();
  g_script.integer = value;
  SaveScript();
}
RECORDING_EXPORT void Recording_SetFloat(float value) {
  LoadScript();
  g_script.real = value;
  SaveScript();
}
// A null text makes every text entry point return a null pointer.
RECORDING_EXPORT void Recording_SetText(const char* text) {
  LoadScript();
  g_script.nullText = text == nullptr;
  g_script.text = text != nullptr ? text : "";
  SaveScript();
}
#if defined(_WIN32)
// The file Connect opens for itself alone from now on (shared with the
// library's copies through the state folder).
RECORDING_EXPORT void Recording_SetPort(const char* path) {
  g_port = path;
  if (StateFolder() != nullptr) {
    std::ofstream(std::string(StateFolder()) + "/portname", std::ios::binary | std::ios::trunc) << path;
  }
}

#if defined(RECORDING_STARTUP_FAULTS)
bool RecordingStartupFault(bool loading);  // startup_faults.cc
#endif

// The library's thread and exit notifications wait for its lock, as a
// library's teardown that takes its own lock does.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
#if defined(RECORDING_STARTUP_FAULTS)
  if (reason == DLL_PROCESS_ATTACH && !RecordingStartupFault(true)) return FALSE;
  if (reason == DLL_PROCESS_DETACH) RecordingStartupFault(false);
#endif
  if (reason != DLL_PROCESS_ATTACH) {
    TakeLibraryLock();
    GiveLibraryLock();
  }
  return TRUE;
}
#endif
// 0 returns normally; 1 to 16 throw, abort, crash, hang or spawn, see ThrowKind.
RECORDING_EXPORT void Recording_SetThrow(int kind) {
  LoadScript();
  g_script.throwKind = kind;
  SaveScript();
}

// Every entry point of the list: records "Name(args)", then returns the
// scripted value of its result type. Without CalibrateStep, that one is
// exported under another name, so the library lacks it.
#if defined(RECORDING_WITHOUT_CALIBRATE_STEP)
#define CalibrateStep CalibrateStep_NotExported
#endif
#define RECORDING_ENTRY_POINT(name, result, parameters, arguments) \
  ENTRY(Returned<result>::Type) name parameters {                  \
    Recorder{#name} arguments;                                     \
    return Scripted<result>();                                     \
  }
VDQRN_ENTRY_POINTS(RECORDING_ENTRY_POINT)
#undef RECORDING_ENTRY_POINT
