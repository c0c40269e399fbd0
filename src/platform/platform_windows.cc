// Windows implementation of the platform layer.
#include <windows.h>
#include <bcrypt.h>

#include <csignal>
#include <mutex>
#include <cstdio>
#include <atomic>
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
    .seh_handler vdqrn_guard_handler, @except, @unwind
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

// What another compiler's runtime raises for a C++ `throw`, and what the
// Delphi and C++Builder runtimes raise for their exceptions.
constexpr DWORD kForeignCxxException = 0xE06D7363;
constexpr DWORD kDelphiException = 0x0EEDFADE;
constexpr DWORD kBuilderCxxException = 0x0EEFFACE;
// Raised by our SIGABRT handler while a library call runs.
constexpr DWORD kLibraryAbort = 0xE0514E01;

// The floating-point control state, which a library may change (some
// runtimes unmask floating-point exceptions) and a cut-short call may leave
// changed (with the x87 register stack half full).
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
  asm volatile("fnclex");
  asm volatile("fldcw %0" : : "m"(state.x87Control));
  asm volatile("ldmxcsr %0" : : "m"(state.sseControl));
}

// One guarded call on this thread, from its start until it is left on any
// way out: returned, cut short, or unwound past by an exception of our own
// runtime or an outer handler's unwind.
struct GuardScope {
  GuardScope* outer;
  FloatingPointState floatingPoint;
  bool active;
};
thread_local GuardScope* t_scope = nullptr;

using SignalHandler = void (*)(int);

// What the process had before the first guarded call began, put back when
// the last one ends: the C runtime's SIGABRT handler and its error output.
std::mutex g_processStateMutex;
int g_activeGuards = 0;
std::atomic<SignalHandler> g_clientAbortHandler{SIG_DFL};
int g_clientErrorMode = _OUT_TO_DEFAULT;

// Only the thread that is inside a guarded call turns an abort into an
// exception that ends the call; an abort on any other thread (a library's
// worker) goes where it would have gone without us.
void OnAbort(int signal) {
  if (t_scope != nullptr && t_scope->active) {
    RaiseException(kLibraryAbort, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  const SignalHandler client = g_clientAbortHandler.load();
  if (client != SIG_DFL && client != SIG_IGN && client != SIG_ERR) client(signal);
}

void EnterGuard(GuardScope& scope) {
  scope.outer = t_scope;
  scope.floatingPoint = SaveFloatingPointState();
  scope.active = true;
  {
    const std::lock_guard<std::mutex> lock(g_processStateMutex);
    const SignalHandler previous = std::signal(SIGABRT, &OnAbort);
    if (g_activeGuards++ == 0) {
      g_clientAbortHandler = previous;
      // The runtime's abort message goes to standard error, never to a
      // modal box that would hold the engine's thread.
      g_clientErrorMode = _set_error_mode(_OUT_TO_STDERR);
    }
  }
  t_scope = &scope;
}

// Puts back the process's state the call may have changed; once, whichever
// way out comes first. (The control words are the caller's to load: an
// unwind brings back those of the frame it resumes in.)
void LeaveGuard(GuardScope& scope) {
  if (!scope.active) return;
  scope.active = false;
  t_scope = scope.outer;
  const std::lock_guard<std::mutex> lock(g_processStateMutex);
  if (--g_activeGuards == 0) {
    const SignalHandler client = g_clientAbortHandler.load();
    std::signal(SIGABRT, client == SIG_ERR ? SIG_DFL : client);
    _set_error_mode(g_clientErrorMode);
  } else {
    std::signal(SIGABRT, &OnAbort);
  }
}

}  // namespace

extern "C" EXCEPTION_DISPOSITION vdqrn_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                                     CONTEXT* /*context*/, void* dispatcher) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    // An unwind passes (or ends at) the trampoline's frame: the call is over.
    if (t_scope != nullptr) LeaveGuard(*t_scope);
    return ExceptionContinueSearch;
  }
  const DWORD code = record->ExceptionCode;
  if (code != kForeignCxxException && code != kDelphiException &&
      code != kBuilderCxxException && code != kLibraryAbort) {
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

namespace {

// Text in the given code page as UTF-16, and back to UTF-8.
std::wstring Widen(const std::string& text, UINT codePage) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  }
  return wide;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
  }
  return narrow;
}

// An absolute path as the file functions take it at any length: past
// MAX_PATH only with the "\\?\" prefix.
std::wstring ForFileSystem(std::wstring path) {
  if (path.size() < MAX_PATH - 12 || path.rfind(L"\\\\?\\", 0) == 0) return path;
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;  // the prefix takes no other separator
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// What a function that fills a buffer of wide characters and tells the
// length (or the size it needs) gives, at any length; empty when it fails.
template <typename Fill>
std::wstring WideAnswer(Fill fill) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.assign(static_cast<std::size_t>(length) + 1 > 2 * buffer.size()
                      ? static_cast<std::size_t>(length) + 1
                      : 2 * buffer.size(),
                  L'\0');
  }
  return std::wstring();
}

// The full path of a loaded module (null: the program), at any length.
std::wstring ModulePath(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= 32768) {
    const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.assign(buffer.size() * 2, L'\0');
  }
  return std::wstring();
}

std::wstring FolderOf(const std::wstring& file) {
  const std::size_t separator = file.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : file.substr(0, separator);
}

// Whether the system looks in the current directory after its own folders
// (the default since long) rather than right after the program's folder.
bool SafeDllSearchMode() {
  DWORD value = 1;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                   L"SafeDllSearchMode", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return true;
  }
  return value != 0;
}

// The folders LoadLibrary searches for a relative path, in its order.
std::vector<std::wstring> LibrarySearchFolders() {
  std::vector<std::wstring> folders;
  folders.push_back(FolderOf(ModulePath(nullptr)));
  const std::wstring dllDirectory =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetDllDirectoryW(size, buffer); });
  const std::wstring current =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
  // SetDllDirectory puts its folder here and takes the current directory
  // out of the order.
  const bool currentEarly = dllDirectory.empty() && !SafeDllSearchMode();
  if (!dllDirectory.empty()) folders.push_back(dllDirectory);
  if (currentEarly) folders.push_back(current);
  const std::wstring system =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
  const std::wstring windows =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
  folders.push_back(system);
  if (!windows.empty()) folders.push_back(windows + L"\\System");
  folders.push_back(windows);
  if (dllDirectory.empty() && !currentEarly) folders.push_back(current);
  const std::wstring path = WideAnswer(
      [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"PATH", buffer, size); });
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty()) folders.push_back(folder);
    start = end + 1;
  }
  return folders;
}

}  // namespace

const char kLocalLibraryPrefix[] = ".\\";
const char kLibrarySuffix[] = ".dll";

// A library's start-up code may change the floating-point control words
// (some runtimes unmask exceptions): the client's are put back.
LibraryHandle LoadDynamicLibrary(const char* path) {
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryA(path);
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

std::string LastLoadError() { return std::string(); }

// The relative path is tried in each folder of the loader's order; the first
// file there is the one LoadLibraryA would map.
std::string LocateLibrary(const char* path) {
  if (path == nullptr || *path == '\0') return std::string();
  const std::wstring relative = Widen(path, CP_ACP);
  for (const std::wstring& folder : LibrarySearchFolders()) {
    if (folder.empty()) continue;
    const std::wstring candidate = folder + L"\\" + relative;
    const std::wstring full = WideAnswer([&candidate](wchar_t* buffer, DWORD size) {
      return GetFullPathNameW(candidate.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) continue;
    const DWORD attributes = GetFileAttributesW(ForFileSystem(full).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return Utf8(full);
    }
  }
  return std::string();
}

LibraryHandle LoadLibraryFile(const std::string& file) {
  const std::wstring path = ForFileSystem(Widen(file, CP_UTF8));
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

void* FindExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library == nullptr) return;
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  FreeLibrary(static_cast<HMODULE>(library));
  RestoreFloatingPointState(floatingPoint);
}

bool CallGuarded(GuardedProcedure call, void* context) {
  VdqrnGuardedCall guarded{call, context};
  GuardScope scope;
  EnterGuard(scope);
  // An exception of our own runtime passes through; the scope is left on
  // the way (here, or already by the trampoline's handler), and the control
  // words are loaded on every way out.
  struct Leave {
    GuardScope& scope;
    ~Leave() {
      LeaveGuard(scope);
      RestoreFloatingPointState(scope.floatingPoint);
    }
  } leave{scope};
  const bool returned = vdqrn_guarded_call(&guarded) == 0;
  // A cut-short call may leave the x87 register stack half full.
  if (!returned) asm volatile("fninit");
  return returned;
}

FileHandle OpenLogFile(const char* path, bool truncate) {
  const HANDLE file = CreateFileW(
      ForFileSystem(Widen(path, CP_UTF8)).c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
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

// The module's own file as the system mapped it, in UTF-16 (any folder
// name, any length).
std::string OwnDirectory() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&OwnDirectory), &module)) {
    return std::string();
  }
  const std::wstring folder = FolderOf(ModulePath(module));
  return folder.empty() ? std::string() : Utf8(folder) + "\\";
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

// A name for the pipe that no one can guess: 128 bits from the system's
// generator.
bool UnguessablePipeName(std::wstring* name) {
  unsigned char random[16];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof random,
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return false;
  }
  static const wchar_t kDigits[] = L"0123456789abcdef";
  *name = L"\\\\.\\pipe\\vdqrn-host-";
  for (const unsigned char value : random) {
    name->push_back(kDigits[value >> 4]);
    name->push_back(kDigits[value & 15]);
  }
  return true;
}

// A security descriptor that lets our own user (the process token's) and no
// one else at the object.
class OwnerOnlySecurity {
 public:
  bool Build() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool known = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!known) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
      return false;
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
    return true;
  }
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  std::vector<char> user_;
  std::vector<char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// The two ends of a new channel: a pipe of one instance under a name no one
// can guess, open to our user only, that this process connects to at once
// and checks that it was this process that connected (nobody else can reach
// the host through it); `ours` overlapped, `theirs` inheritable, and an
// inheritable mapping of the shared page. Handles are inherited only by a
// child given them in its list.
bool CreateChannel(HANDLE* ours, HANDLE* theirs, HANDLE* mapping, std::string* error) {
  std::wstring name;
  OwnerOnlySecurity security;
  if (!UnguessablePipeName(&name)) {
    *error = SystemError("no random pipe name");
    return false;
  }
  if (!security.Build()) {
    *error = SystemError("no security descriptor for the pipe");
    return false;
  }
  *ours = CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096,
      0, security.Attributes());
  if (*ours == INVALID_HANDLE_VALUE) {
    *error = SystemError("no pipe");
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  *theirs = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (*theirs == INVALID_HANDLE_VALUE) {
    *error = SystemError("pipe not connected");
    CloseHandle(*ours);
    return false;
  }
  ULONG client = 0;
  if (!GetNamedPipeClientProcessId(*ours, &client) || client != GetCurrentProcessId()) {
    *error = "the pipe was connected by another process (" + std::to_string(client) + ")";
    CloseHandle(*ours);
    CloseHandle(*theirs);
    return false;
  }
  *mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
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

namespace {

// A job that ends the child when this process ends, however it ends; null
// with the reason when the system refuses one (the child then ends with us
// through its own watch of this process).
HANDLE JobEndingWithUs(std::string* why) {
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    *why = SystemError("no job object");
    return nullptr;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    *why = SystemError("job object refuses to end with the client");
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

}  // namespace

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  const std::wstring program = Widen(executable, CP_UTF8);
  const DWORD attributes = GetFileAttributesW(ForFileSystem(program).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = executable + " is missing";
    return false;
  }
  HANDLE ours, theirs, mapping;
  if (!CreateChannel(&ours, &theirs, &mapping, error)) return false;
  // The child waits on this handle of ours and ends when we do.
  HANDLE parent = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &parent,
                       SYNCHRONIZE, TRUE, 0)) {
    *error = SystemError("no handle of the client for the host");
    CloseHandle(ours);
    CloseHandle(theirs);
    CloseHandle(mapping);
    return false;
  }
  const auto closeInherited = [&] {
    CloseHandle(theirs);
    CloseHandle(mapping);
    CloseHandle(parent);
  };
  if (!MapChannel(mapping, ours, true, &child->channel)) {
    *error = SystemError("cannot map shared memory");
    CloseHandle(ours);
    closeInherited();
    return false;
  }
  // Exactly these three handles are inherited; without the list the system
  // would hand the child every inheritable handle of the client, so there
  // is no start without it.
  HANDLE inherited[] = {theirs, mapping, parent};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributeBytes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    *error = SystemError("cannot limit what the host inherits");
    CloseChannel(child->channel);
    closeInherited();
    return false;
  }
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                 sizeof inherited, nullptr, nullptr)) {
    *error = SystemError("cannot limit what the host inherits");
    DeleteProcThreadAttributeList(list);
    CloseChannel(child->channel);
    closeInherited();
    return false;
  }
  std::string why;
  const HANDLE job = JobEndingWithUs(&why);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.lpAttributeList = list;
  std::wstring commandLine =
      L"\"" + program + L"\" " +
      std::to_wstring(reinterpret_cast<std::uintptr_t>(theirs)) + L":" +
      std::to_wstring(reinterpret_cast<std::uintptr_t>(mapping)) + L":" +
      std::to_wstring(reinterpret_cast<std::uintptr_t>(parent));
  PROCESS_INFORMATION process{};
  // Past MAX_PATH a program is started by its short name where the volume
  // has them (the system may not start it by the long one).
  std::wstring application = program;
  if (program.size() >= MAX_PATH) {
    const std::wstring prefixed = ForFileSystem(program);
    const std::wstring shortName = WideAnswer([&prefixed](wchar_t* buffer, DWORD room) {
      return GetShortPathNameW(prefixed.c_str(), buffer, room);
    });
    if (!shortName.empty()) application = shortName;
  }
  const BOOL started = CreateProcessW(
      application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
      &startup.StartupInfo, &process);
  DeleteProcThreadAttributeList(list);
  closeInherited();
  if (!started) {
    *error = SystemError("cannot start");
    CloseChannel(child->channel);
    if (job != nullptr) CloseHandle(job);
    return false;
  }
  child->warning.clear();
  if (job != nullptr && !AssignProcessToJobObject(job, process.hProcess)) {
    why = SystemError("cannot put the host in a job object");
  }
  if (!why.empty()) {
    child->warning = why + "; it ends with the client through its own watch only";
  }
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

namespace {

// Ends this process the moment the process behind the handle has ended (a
// wait that fails ends nothing: the job still ties the host to the client).
DWORD WINAPI EndWithParent(void* parent) {
  if (WaitForSingleObject(static_cast<HANDLE>(parent), INFINITE) == WAIT_OBJECT_0) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return 0;
}

// A decimal handle value ending at `stop` ('\0' for the last); null when
// the text is not one.
HANDLE ParseHandle(const char** text, char stop) {
  char* last = nullptr;
  const unsigned long long value = std::strtoull(*text, &last, 10);
  if (last == *text || last == nullptr || *last != stop || value == 0) return nullptr;
  *text = stop == '\0' ? last : last + 1;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

}  // namespace

bool OpenParentChannel(const char* argument, ChannelEnd* end) {
  // "{pipe}:{mapping}:{parent}", three handle values in decimal.
  if (argument == nullptr || *argument == '\0') return false;
  const char* text = argument;
  const HANDLE wake = ParseHandle(&text, ':');
  const HANDLE mapping = wake != nullptr ? ParseHandle(&text, ':') : nullptr;
  const HANDLE parent = mapping != nullptr ? ParseHandle(&text, '\0') : nullptr;
  if (parent == nullptr || GetFileType(wake) != FILE_TYPE_PIPE) return false;
  // Nothing of the channel goes on to a process the library starts: such a
  // process would keep the pipe open after this one is gone.
  SetHandleInformation(wake, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(parent, HANDLE_FLAG_INHERIT, 0);
  // A mapping smaller than the page cannot be mapped whole.
  const bool mapped = MapChannel(mapping, wake, false, end);
  CloseHandle(mapping);
  if (!mapped) return false;
  // The job the module put this process in ends it with the module; where
  // the module could not have one, this watch does.
  const HANDLE watch = CreateThread(nullptr, 64 * 1024, &EndWithParent, parent,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (watch == nullptr) {
    CloseChannel(*end);
    return false;
  }
  CloseHandle(watch);
  return true;
}

namespace detail {

LocalTime SystemLocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth,  now.wDay,
                   now.wHour, now.wMinute, now.wSecond};
}

std::size_t ReadFileStart(const std::string& file, unsigned char* bytes, std::size_t capacity) {
  const HANDLE handle =
      CreateFileW(ForFileSystem(Widen(file, CP_UTF8)).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  // Only a file on a disk is read: never a port, a pipe or a console.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return 0;
  }
  std::size_t got = 0;
  while (got < capacity) {
    DWORD count = 0;
    if (!ReadFile(handle, bytes + got, static_cast<DWORD>(capacity - got), &count, nullptr) ||
        count == 0) {
      break;
    }
    got += count;
  }
  CloseHandle(handle);
  return got;
}

// GetTempPathW's answer in UTF-8 (it ends with a backslash), or "c:\" when
// it fails or is longer than kMaxPath. Read in UTF-16, so that a folder name
// outside the ANSI code page still has its log.
std::size_t SystemTempDirectory(char* buffer) {
  wchar_t wide[kMaxPath + 1];
  const DWORD length = GetTempPathW(kMaxPath, wide);
  const int bytes = length == 0 || length > kMaxPath
                        ? 0
                        : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), buffer,
                                              static_cast<int>(kTempDirectoryBuffer - 1), nullptr,
                                              nullptr);
  if (bytes <= 0) {
    std::memcpy(buffer, "c:\\", 4);
    return 3;
  }
  buffer[bytes] = '\0';
  return static_cast<std::size_t>(bytes);
}

}  // namespace detail
}  // namespace platform

}  // namespace vdqrn
