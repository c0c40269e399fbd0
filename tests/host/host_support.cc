#include "host_support.h"

#include <cstdlib>
#include <fstream>
#include <regex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include "environment.h"

namespace vdqrn {

namespace {

// Its files beside the module (the host_peer_files test copies them from
// the 32-bit build), and on POSIX a start of the host without its channel,
// which it answers with status 64.
std::string FindWhyNoHost() {
  const std::string host = platform::HostFileName(kHostArchitecture);
  for (const std::string& file :
       {host, std::string("simspectro32") + platform::kLibrarySuffix,
        std::string("recordingspectro32") + platform::kLibrarySuffix,
        std::string("missingexport32") + platform::kLibrarySuffix}) {
    if (!std::ifstream(file)) {
      return file + " is not beside the module: build the 32-bit preset (scripts/demo.sh does)";
    }
  }
#if !defined(_WIN32)
  const std::string path = "./" + host;
  char* const arguments[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t child = 0;
  const int failed = posix_spawn(&child, path.c_str(), nullptr, nullptr, arguments, environ);
  if (failed != 0) return "this machine cannot start " + host + ": " + std::strerror(failed);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 64) {
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return "this machine cannot start " + host + " (it ended with status " +
           std::to_string(code) + ")";
  }
#endif
  return "";
}

}  // namespace

const std::string& WhyNoHost() {
  static const std::string why = FindWhyNoHost();
  return why;
}

bool HostRequired() { return std::getenv("VDQRN_HOST32_REQUIRED") != nullptr; }

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
