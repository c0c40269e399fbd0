// Windows implementation of the platform layer.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/shared_channel.h"

namespace vdqrn {

// CallGuarded: a small trampoline in assembly calls the library inside a frame
// whose exception handler is ours. The system asks that handler only about
// exceptions that nothing inside the library handled, so a library that
// throws and catches its own exceptions is left alone. For a C++ exception of
// another compiler's runtime (what its `throw` raises) the handler unwinds the
// library's frames the system's way, as that compiler's own catch would, and
// resumes in the trampoline, which returns 1. Our own compiler's exceptions
// are passed on: on x86-64 they reach the caller's catch as usual.
//
// On 32-bit x86 a library built with our own compiler cannot throw into our
// frames at all (each module unwinds with its own tables and sees no other
// module's frames): its runtime ends such a throw in abort(). While a library
// call runs, SIGABRT of the shared C runtime raises an exception of ours
// instead, which the same handler catches.
extern "C" {
struct VdqrnGuardedCall {
  platform::GuardedProcedure call;
  void* context;
};
int vdqrn_guarded_call(VdqrnGuardedCall* call);
EXCEPTION_DISPOSITION vdqrn_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                          CONTEXT* context, void* dispatcher);
void vdqrn_guard_resume();
#if !defined(_WIN64)
[[noreturn]] void vdqrn_guard_unwind(void* frame, EXCEPTION_RECORD* record);
#endif
}

#if defined(_WIN64)
// int vdqrn_guarded_call(VdqrnGuardedCall* call): calls call->call(call->context)
// with vdqrn_guard_handler as the frame's exception handler. Returns 0, or 1
// when the handler resumed at vdqrn_guard_resume (RtlUnwindEx sets rax).
asm(R"(
    .text
    .globl vdqrn_guarded_call
    .def vdqrn_guarded_call; .scl 2; .type 32; .endef
    .seh_proc vdqrn_guarded_call
vdqrn_guarded_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler vdqrn_guard_handler, @except
    movq 8(%rcx), %rdx
    movq (%rcx), %rax
    movq %rdx, %rcx
    callq *%rax
    xorl %eax, %eax
    .globl vdqrn_guard_resume
vdqrn_guard_resume:
    addq $40, %rsp
    ret
    .seh_endproc
)");
#else
// The same on 32-bit x86, where the handler is an exception registration
// record on the stack, linked into the thread's chain at fs:0 for the call.
// The record's address is the frame the handler gets; the handler unwinds to
// it and resumes with the stack pointer at the record.
asm(R"(
    .text
    .globl _vdqrn_guarded_call
_vdqrn_guarded_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl $_vdqrn_guard_handler
    pushl %fs:0
    movl %esp, %fs:0
    movl 8(%ebp), %eax
    pushl 4(%eax)
    call *(%eax)
    addl $4, %esp
    xorl %eax, %eax
    .globl _vdqrn_guard_resume
_vdqrn_guard_resume:
    popl %ecx
    movl %ecx, %fs:0
    addl $4, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

# void vdqrn_guard_unwind(void* frame, EXCEPTION_RECORD* record): unwinds every
# registration above the frame (RtlUnwind keeps only ebp and esp), then
# resumes the trampoline at its record with eax = 1.
    .globl _vdqrn_guard_unwind
_vdqrn_guard_unwind:
    movl 4(%esp), %ebp
    movl 8(%esp), %eax
    pushl $0
    pushl %eax
    pushl $1f
    pushl %ebp
    call _RtlUnwind@16
1:  movl %ebp, %esp
    movl $1, %eax
    jmp _vdqrn_guard_resume
)");
#endif

namespace {

// What another compiler's runtime raises for a C++ `throw`, and what Delphi's
// raises for its exceptions.
constexpr DWORD kForeignCxxException = 0xE06D7363;
constexpr DWORD kDelphiException = 0x0EEDFADE;
// Raised by our SIGABRT handler while a library call runs.
constexpr DWORD kLibraryAbort = 0xE0514E01;

void RaiseLibraryAbort(int /*signal*/) {
  RaiseException(kLibraryAbort, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

// The floating-point control state, which a cut-short call may leave changed
// (and the x87 register stack, which it may leave half full).
struct FloatingPointState {
  std::uint16_t x87Control;
  std::uint32_t sseControl;
};

FloatingPointState SaveFloatingPointState() {
  FloatingPointState state{};
  asm volatile("fnstcw %0" : "=m"(state.x87Control));
  asm volatile("stmxcsr %0" : "=m"(state.sseControl));
  return state;
}

void RestoreFloatingPointState(const FloatingPointState& state) {
  asm volatile("fninit");
  asm volatile("fldcw %0" : : "m"(state.x87Control));
  asm volatile("ldmxcsr %0" : : "m"(state.sseControl));
}

}  // namespace

extern "C" EXCEPTION_DISPOSITION vdqrn_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                                     CONTEXT* /*context*/, void* dispatcher) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  const DWORD code = record->ExceptionCode;
  if (code != kForeignCxxException && code != kDelphiException && code != kLibraryAbort) {
    return ExceptionContinueSearch;
  }
#if defined(_WIN64)
  auto* const dispatch = static_cast<DISPATCHER_CONTEXT*>(dispatcher);
  RtlUnwindEx(frame, reinterpret_cast<void*>(&vdqrn_guard_resume), record,
              reinterpret_cast<void*>(1), dispatch->ContextRecord, dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached
#else
  (void)dispatcher;
  vdqrn_guard_unwind(frame, record);
#endif
}

namespace platform {

const char kLocalLibraryPrefix[] = ".\\";
const char kLibrarySuffix[] = ".dll";

LibraryHandle LoadDynamicLibrary(const char* path) {
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void* FindExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

bool CallGuarded(GuardedProcedure call, void* context) {
  VdqrnGuardedCall guarded{call, context};
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const auto previousAbort = std::signal(SIGABRT, &RaiseLibraryAbort);
  const bool returned = vdqrn_guarded_call(&guarded) == 0;
  if (previousAbort != SIG_ERR) std::signal(SIGABRT, previousAbort);
  if (!returned) RestoreFloatingPointState(floatingPoint);
  return returned;
}

FileHandle OpenLogFile(const char* path, bool truncate) {
  const HANDLE file = CreateFileA(
      path, truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

namespace {

// Hands bytes to WriteFile until all are taken or it refuses; false then.
bool WriteAll(HANDLE file, const char* bytes, std::size_t count) {
  while (count > 0) {
    const DWORD allowed = static_cast<DWORD>(detail::LogWriteAllowance(count));
    DWORD written = 0;
    if (allowed == 0 || !WriteFile(file, bytes, allowed, &written, nullptr) || written == 0) {
      return false;
    }
    bytes += written;
    count -= written;
  }
  return true;
}

}  // namespace

void WriteLogFile(FileHandle file, const char* bytes, std::size_t count) {
  if (file == kNoFile) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  // Text mode: each "\n" is stored as "\r\n". A short line is translated
  // into the buffer and goes out in one write; a longer one in pieces.
  char translated[2 * 2048];
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (used + 2 > sizeof translated) {
      if (!WriteAll(handle, translated, used)) return;
      used = 0;
    }
    if (bytes[i] == '\n') translated[used++] = '\r';
    translated[used++] = bytes[i];
  }
  WriteAll(handle, translated, used);
}

void CloseLogFile(FileHandle file) {
  if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

// Windows refuses no file the log can open.
void ResetLogRefusalForTesting() {}

std::string OwnDirectory() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&OwnDirectory), &module)) {
    return std::string();
  }
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  const std::string file(path, length);
  const std::size_t separator = file.find_last_of("\\/");
  return separator == std::string::npos ? std::string(".\\") : file.substr(0, separator + 1);
}

namespace {

std::string SystemError(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// Waits for an overlapped operation on our end of the channel; false when it
// failed or did not finish in time (it is then cancelled).
bool Finish(HANDLE channel, OVERLAPPED& overlapped, BOOL started, DWORD* transferred,
            DWORD timeoutMs, bool* timedOut) {
  *timedOut = false;
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(overlapped.hEvent, timeoutMs) == WAIT_TIMEOUT) {
    CancelIo(channel);
    GetOverlappedResult(channel, &overlapped, transferred, TRUE);
    *timedOut = true;
    return false;
  }
  return GetOverlappedResult(channel, &overlapped, transferred, FALSE) != 0;
}

// The two ends of a new channel: a pipe of one instance that this process
// connects to at once (nobody else can reach the host through it), `ours`
// overlapped, `theirs` inheritable, and an inheritable mapping of the shared
// page.
bool CreateChannel(HANDLE* ours, HANDLE* theirs, HANDLE* mapping, std::string* error) {
  static LONG counter = 0;
  const std::string name = "\\\\.\\pipe\\vdqrn-host-" + std::to_string(GetCurrentProcessId()) +
                           "-" + std::to_string(GetTickCount()) + "-" +
                           std::to_string(InterlockedIncrement(&counter));
  *ours = CreateNamedPipeA(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096,
      0, nullptr);
  if (*ours == INVALID_HANDLE_VALUE) {
    *error = SystemError("no pipe");
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  *theirs = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0,
                        nullptr);
  if (*theirs == INVALID_HANDLE_VALUE) {
    *error = SystemError("pipe not connected");
    CloseHandle(*ours);
    return false;
  }
  *mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                static_cast<DWORD>(detail::kChannelPageBytes), nullptr);
  if (*mapping == nullptr) {
    *error = SystemError("no shared memory");
    CloseHandle(*ours);
    CloseHandle(*theirs);
    return false;
  }
  return true;
}

// Maps the page into `end`.
bool MapChannel(HANDLE mapping, HANDLE wake, bool isModule, ChannelEnd* end) {
  void* const page = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, detail::kChannelPageBytes);
  if (page == nullptr) return false;
  *end = ChannelEnd{};
  end->wake = reinterpret_cast<std::intptr_t>(wake);
  end->page = page;
  end->isModule = isModule;
  if (isModule) detail::PreparePage(page);
  return true;
}

// How long the module waits to hand a wake to the pipe (it holds 4 KB, and
// never more than a few wakes wait in it).
constexpr DWORD kWakeWriteMs = 10 * 1000;

}  // namespace

unsigned UsableProcessors() {
  unsigned count = 0;
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) ++count;
  }
  // A job's hard cap on CPU time, in hundredths of a percent of the machine.
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate,
                                nullptr) &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) != 0 &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) != 0) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const unsigned capped =
        static_cast<unsigned>(static_cast<unsigned long long>(rate.CpuRate) *
                              info.dwNumberOfProcessors / 10000);
    if (count == 0 || capped < count) count = capped < 1 ? 1 : capped;
  }
  return count == 0 ? 1 : count;
}

bool OpenChannelPair(ChannelEnd* module, ChannelEnd* host) {
  HANDLE ours, theirs, mapping;
  std::string error;
  if (!CreateChannel(&ours, &theirs, &mapping, &error)) return false;
  const bool mapped = MapChannel(mapping, ours, true, module);
  if (mapped && MapChannel(mapping, theirs, false, host)) {
    CloseHandle(mapping);
    return true;
  }
  if (mapped) CloseChannel(*module);
  if (!mapped) CloseHandle(ours);
  CloseHandle(theirs);
  CloseHandle(mapping);
  return false;
}

void CloseChannel(ChannelEnd& end) {
  if (end.page != nullptr) UnmapViewOfFile(end.page);
  if (end.wake != -1) CloseHandle(reinterpret_cast<HANDLE>(end.wake));
  end.page = nullptr;
  end.wake = -1;
}

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  if (GetFileAttributesA(executable.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *error = executable + " is missing";
    return false;
  }
  HANDLE ours, theirs, mapping;
  if (!CreateChannel(&ours, &theirs, &mapping, error)) return false;
  if (!MapChannel(mapping, ours, true, &child->channel)) {
    *error = SystemError("cannot map shared memory");
    CloseHandle(ours);
    CloseHandle(theirs);
    CloseHandle(mapping);
    return false;
  }
  // The job ends the host when this process ends, however it ends.
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) {
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  // Only the pipe's end and the page are inherited.
  HANDLE inherited[] = {theirs, mapping};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                      UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                inherited, sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = listed ? list : nullptr;
  std::string commandLine = "\"" + executable + "\" " +
                            std::to_string(reinterpret_cast<std::uintptr_t>(theirs)) + ":" +
                            std::to_string(reinterpret_cast<std::uintptr_t>(mapping));
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(
      executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
      nullptr, &startup.StartupInfo, &process);
  if (listed) DeleteProcThreadAttributeList(list);
  CloseHandle(theirs);
  CloseHandle(mapping);
  if (!started) {
    *error = SystemError("cannot start");
    CloseChannel(child->channel);
    if (job != nullptr) CloseHandle(job);
    return false;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  child->process = reinterpret_cast<std::intptr_t>(process.hProcess);
  child->job = job != nullptr ? reinterpret_cast<std::intptr_t>(job) : -1;
  child->id = static_cast<long>(process.dwProcessId);
  return true;
}

namespace detail {

// The module's end of the pipe is overlapped (its waits have a limit); the
// host's is not, and the host waits without one.
bool RingWake(ChannelEnd& end) {
  const HANDLE wake = reinterpret_cast<HANDLE>(end.wake);
  const char bell = 1;
  DWORD written = 0;
  if (!end.isModule) return WriteFile(wake, &bell, 1, &written, nullptr) && written == 1;
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return false;
  bool timedOut = false;
  const BOOL started = WriteFile(wake, &bell, 1, nullptr, &overlapped);
  const bool rung = Finish(wake, overlapped, started, &written, kWakeWriteMs, &timedOut);
  CloseHandle(overlapped.hEvent);
  return rung && written == 1;
}

ChannelOutcome AwaitWake(ChannelEnd& end, long timeoutMs) {
  const HANDLE wake = reinterpret_cast<HANDLE>(end.wake);
  char bells[64];
  DWORD received = 0;
  if (!end.isModule) {
    return ReadFile(wake, bells, sizeof bells, &received, nullptr) && received > 0
               ? ChannelOutcome::kDone
               : ChannelOutcome::kClosed;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return ChannelOutcome::kClosed;
  bool timedOut = false;
  const BOOL started = ReadFile(wake, bells, sizeof bells, nullptr, &overlapped);
  const bool read = Finish(wake, overlapped, started, &received,
                           timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), &timedOut) &&
                    received > 0;
  CloseHandle(overlapped.hEvent);
  if (read) return ChannelOutcome::kDone;
  return timedOut ? ChannelOutcome::kTimedOut : ChannelOutcome::kClosed;
}

}  // namespace detail

namespace {
// How long the module's thread waits for a child it terminated to be gone.
constexpr DWORD kCollectMs = 1000;
}  // namespace

std::string EndChildProcess(ChildProcess& child, long graceMs) {
  CloseChannel(child.channel);
  std::string ended = "not started";
  if (child.process != -1) {
    const HANDLE process = reinterpret_cast<HANDLE>(child.process);
    // A process stuck in a device call ends only when the call does: the
    // wait after terminating it is bounded, and the system collects it later.
    bool gone = WaitForSingleObject(process, static_cast<DWORD>(graceMs)) != WAIT_TIMEOUT;
    if (!gone) {
      TerminateProcess(process, 1);
      gone = WaitForSingleObject(process, kCollectMs) != WAIT_TIMEOUT;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    char text[32];
    if (code >= 0xC0000000u) {
      std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    } else {
      std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(code));
    }
    ended = gone ? std::string("exit code ") + text : std::string("killed, not yet gone");
    CloseHandle(process);
  }
  child.process = -1;
  if (child.job != -1) CloseHandle(reinterpret_cast<HANDLE>(child.job));
  child.job = -1;
  return ended;
}

bool OpenParentChannel(const char* argument, ChannelEnd* end) {
  // "{pipe}:{mapping}", two handle values in decimal.
  if (argument == nullptr || *argument == '\0') return false;
  char* colon = nullptr;
  const unsigned long long pipe = std::strtoull(argument, &colon, 10);
  if (colon == argument || colon == nullptr || *colon != ':') return false;
  char* last = nullptr;
  const unsigned long long page = std::strtoull(colon + 1, &last, 10);
  if (last == colon + 1 || last == nullptr || *last != '\0') return false;
  const HANDLE wake = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(pipe));
  const HANDLE mapping = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(page));
  if (GetFileType(wake) != FILE_TYPE_PIPE) return false;
  // A mapping smaller than the page cannot be mapped whole.
  const bool mapped = MapChannel(mapping, wake, false, end);
  CloseHandle(mapping);
  // The job object the module put this process in ends it with the module.
  return mapped;
}

namespace detail {

LocalTime SystemLocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDay,
                   now.wHour, now.wMinute, now.wSecond};
}

// GetTempPathA's answer (it ends with a backslash), or "c:\" when it fails or
// does not fit its buffer.
std::size_t SystemTempDirectory(char* buffer) {
  const DWORD length = GetTempPathA(kMaxPath, buffer);
  if (length == 0 || length > kMaxPath) {
    std::memcpy(buffer, "c:\\", 4);
    return 3;
  }
  buffer[length] = '\0';
  return length;
}

}  // namespace detail
}  // namespace platform

}  // namespace vdqrn
