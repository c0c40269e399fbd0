// Windows: the instrument host's process, started with the channel's
// handles and nothing else, tied to the client's life, and ended; and the
// host's side of that start.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_support.h"

namespace vdqrn {
namespace platform {

using windows::CreateChannel;
using windows::ForFileSystem;
using windows::MapChannel;
using windows::SystemError;
using windows::WideAnswer;
using windows::Widen;

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
                       SYNCHRONIZE, FALSE, 0)) {
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
  // Another thread of the client that starts a process inheriting handles
  // (without a list of its own) would take every inheritable handle with
  // it: the three are inheritable only for the time of this start.
  for (const HANDLE handle : inherited) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  const BOOL started = CreateProcessW(
      application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
      &startup.StartupInfo, &process);
  for (const HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
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

namespace {
// How long the module's thread waits for a child it terminated to be gone.
constexpr DWORD kCollectMs = 1000;
}  // namespace

// The C runtime's abort() ends the process with exit code 3.
bool EndedByAbort(const std::string& ended) { return ended == "exit code 3"; }

// A program ended from outside (TerminateProcess) ends with any code the
// one who ended it chose.
bool EndedFromOutside(const std::string&) { return false; }

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

// A Windows host serves as soon as it runs, and no process is forked there.
bool AwaitChildServing(ChildProcess&, long, std::string*, std::string*) { return true; }
bool StartedByThisProcess(const ChildProcess&) { return true; }

}  // namespace platform
}  // namespace vdqrn
