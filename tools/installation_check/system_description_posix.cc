#include <sys/stat.h>
#include <sys/utsname.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "system_description.h"

namespace installation_check {

namespace {

// PRETTY_NAME from os-release, the distribution's own name and version.
std::string Distribution() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string value = line.substr(12);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return "unknown (no os-release)";
}

}  // namespace

std::string SystemDescription() {
  std::ostringstream text;
  utsname name{};
  if (uname(&name) == 0) {
    text << "kernel: " << name.sysname << " " << name.release << " " << name.version << " "
         << name.machine << "\n";
  }
  text << "distribution: " << Distribution() << "\n";
  return text.str();
}

std::int64_t FileTime(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<std::int64_t>(status.st_mtime) : 0;
}

std::string FileDescription(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "missing";
  char time[32] = {};
  const std::time_t modified = status.st_mtime;
  std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&modified));
  std::ostringstream text;
  text << status.st_size << " bytes, changed " << time << ", mode " << std::oct
       << (status.st_mode & 07777) << std::dec << ", owner " << status.st_uid;
  return text.str();
}

}  // namespace installation_check
