#include "host_support.h"

#include <cstdlib>
#include <regex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>

#include <cerrno>
#endif

namespace vdqrn {

namespace {

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
  // The C runtime's copy for this process, the system's for the host.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

}  // namespace

SharedRecordingState::SharedRecordingState() {
  SetVariable("VDQRN_RECORDING_STATE", directory_.Path());
}

SharedRecordingState::~SharedRecordingState() { SetVariable("VDQRN_RECORDING_STATE", ""); }

bool HostReasonsAreReadable() {
#if defined(_WIN32)
  return false;
#else
  return true;
#endif
}

std::vector<long> HostProcessIds(const std::vector<std::string>& lines) {
  static const std::regex started(R"(Instrument host started \([^)]*, process (\d+)\))");
  std::vector<long> ids;
  for (const std::string& line : lines) {
    std::smatch match;
    if (std::regex_search(line, match, started)) ids.push_back(std::stol(match[1].str()));
  }
  return ids;
}

bool ProcessIsGone(long id) {
#if defined(_WIN32)
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
#else
  return kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
#endif
}

}  // namespace vdqrn
