#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "installation_reader.h"
#include "module_ini.h"

namespace installation_check {

namespace {

const char kDefaultClient[] = "/opt/Citrix/ICAClient";
const char kModule[] = "VDQRN.DLL";
// A module.ini is a few kilobytes; anything this large is not one.
constexpr std::streamsize kIniLimit = 1024 * 1024;

bool IsRegularFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string OwnerName(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? std::string(entry->pw_name) : "user " + std::to_string(uid);
}

// The client's own program, wfica; else the first other ELF file of its
// folder (by name) that is not ours and names an architecture.
InstalledFile ClientProgram(const std::string& folder) {
  InstalledFile program = InstalledFileAt(folder + "/wfica");
  if (program.present) return program;
  std::vector<std::string> names;
  if (DIR* directory = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(directory)) names.emplace_back(entry->d_name);
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name == kModule || name.rfind("qrnhost", 0) == 0 || name[0] == '.') continue;
    InstalledFile candidate = InstalledFileAt(folder + "/" + name);
    if (candidate.present && candidate.architecture != Architecture::kUnknown) return candidate;
  }
  return InstalledFile{};
}

Registration ReadRegistration(const std::string& path, const std::string& text) {
  const ModuleIniRegistration ini = ReadModuleIni(text);
  Registration registration;
  registration.where = path;
  registration.text = text;
  registration.formProblem = ini.formProblem;
  registration.listed = ini.listed;
  registration.switchedOn = ini.switchedOn;
  registration.switchValue = ini.switchValue;
  if (!ini.hasSection) {
    registration.entryProblem = "the section [QRN] is missing";
  } else if (!ini.hasDriverName) {
    registration.entryProblem = "[QRN] has no DriverName";
  } else if (ini.driverName != kModule) {
    registration.entryProblem =
        "[QRN] has DriverName = " + ini.driverName + ", not DriverName = " + kModule;
  }
  return registration;
}

}  // namespace

std::string DriverLogPath() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  if (path.back() != '/') path += '/';
  return path + "QuarnClientDriver.log";
}

std::string LogProblem(const std::string& logPath) {
  struct stat status {};
  if (lstat(logPath.c_str(), &status) == 0) {
    // The driver writes only to a regular file of the user's own with one
    // name, never through a link.
    if (S_ISLNK(status.st_mode)) return logPath + " is a symbolic link, which the driver refuses";
    if (!S_ISREG(status.st_mode)) return logPath + " is not a regular file";
    if (status.st_uid != geteuid()) {
      return logPath + " belongs to " + OwnerName(status.st_uid) + ", not to " +
             OwnerName(geteuid());
    }
    if (status.st_nlink != 1) return logPath + " has more than one name, which the driver refuses";
    const int fd = open(logPath.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "cannot write " + logPath + ": " + std::strerror(errno);
    close(fd);
    return std::string();
  }
  const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      S_IRUSR | S_IWUSR);
  if (fd < 0) return "cannot create " + logPath + ": " + std::strerror(errno);
  close(fd);
  unlink(logPath.c_str());
  return std::string();
}

InstallationFacts ReadInstallation(const std::string& clientFolder) {
  InstallationFacts facts;
  facts.system = ClientSystem::kLinux;
  std::string folder = clientFolder.empty() ? kDefaultClient : clientFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  facts.clientFolder = folder;
  const std::string ini = folder + "/config/module.ini";
  std::ifstream file(ini, std::ios::binary);
  if (!IsRegularFile(ini) || !file) {
    const int error = errno;
    facts.clientUnreadable = IsRegularFile(ini);
    facts.clientProblem = "no ICA client in " + folder + " (" + ini + " " +
                          (facts.clientUnreadable
                               ? "cannot be read: " + std::string(std::strerror(error))
                               : std::string("is missing")) +
                          ")";
    return facts;
  }
  std::string text(static_cast<std::size_t>(kIniLimit), '\0');
  file.read(&text[0], kIniLimit);
  text.resize(static_cast<std::size_t>(file.gcount()));
  facts.registration = ReadRegistration(ini, text);
  facts.clientProgram = ClientProgram(folder);
  facts.module = InstalledFileAt(folder + "/" + kModule);
  Architecture hostsOf = facts.clientProgram.architecture;
  if (hostsOf == Architecture::kUnknown) hostsOf = facts.module.architecture;
  for (const std::string& host : HostsFor(facts.system, hostsOf)) {
    facts.hosts.push_back(InstalledFileAt(folder + "/" + host));
  }
  facts.logPath = DriverLogPath();
  facts.logProblem = LogProblem(facts.logPath);
  return facts;
}

}  // namespace installation_check
