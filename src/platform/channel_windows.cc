// Windows: the system's half of the channel to the instrument host (the
// pipe that wakes a side, the shared page), and the processors we may use.
#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/shared_channel.h"
#include "platform/windows_support.h"

namespace vdqrn {
namespace platform {

using windows::CreateChannel;
using windows::MapChannel;
using windows::SystemError;

namespace {

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
// the host through it); `ours` overlapped, `theirs` and a mapping of the
// shared page for the host, none inheritable. Handles are inherited only by a
// child given them in its list.
}  // namespace

namespace windows {

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
  *theirs = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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
  *mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
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

}  // namespace windows

namespace {


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

namespace detail {
// Not asked of the system there: only a lost processor stops the watching.
bool ProcessorsBusy() { return false; }
long long InvoluntarySwitches() { return -1; }
}  // namespace detail

}  // namespace platform
}  // namespace vdqrn
