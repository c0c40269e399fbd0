#include "process_info.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <unistd.h>

#include <climits>
#endif

namespace engine_sim_cli {

namespace {

#if defined(_WIN32)
const char kModuleFile[] = "VDQRN.DLL";

std::string ExecutablePath() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}
#else
const char kModuleFile[] = "vdqrn.so";
// A Linux client's installation names the module like the Windows one.
const char kInstalledModuleFile[] = "VDQRN.DLL";

std::string ExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 && static_cast<std::size_t>(length) < sizeof path
             ? std::string(path, static_cast<std::size_t>(length))
             : std::string();
}
#endif

}  // namespace

std::string ModuleBesideExecutable(std::string* problem) {
  const std::string executable = ExecutablePath();
  const std::size_t separator = executable.find_last_of("/\\");
  if (separator == std::string::npos) {
#if defined(_WIN32)
    *problem = "cannot tell this program's own folder";
#else
    *problem = "cannot tell this program's own folder (/proc/self/exe cannot be read: is /proc mounted?)";
#endif
    return std::string();
  }
  const std::string folder = executable.substr(0, separator + 1);
#if !defined(_WIN32)
  if (access((folder + kModuleFile).c_str(), F_OK) != 0 &&
      access((folder + kInstalledModuleFile).c_str(), F_OK) == 0) {
    return folder + kInstalledModuleFile;
  }
#endif
  return folder + kModuleFile;
}

}  // namespace engine_sim_cli
