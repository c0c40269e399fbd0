// What the installation check found out about one client installation: the
// facts, gathered from the system (installation_reader.h) or made up by a
// test, and judged by JudgeInstallation (findings.h).
#pragma once

#include <string>
#include <vector>

#include "binary_architecture.h"

namespace installation_check {

enum class ClientSystem { kLinux, kWindows };

// The registration as the client reads it.
struct Registration {
  std::string where;         // "FOLDER/config/module.ini", or the registry key
  std::string text;          // the registration as read, for the support report
  std::string formProblem;   // an ambiguous form, or a value of the wrong type
  bool listed = false;       // the client's module list names QRN
  bool switchedOn = true;    // module.ini's "QRN = On" (Windows has no switch)
  std::string switchValue;   // what QRN is set to instead, when present
  std::string entryProblem;  // what is wrong with the module's own entry; empty: right
};

// A file of the installation.
struct InstalledFile {
  std::string path;
  bool present = false;
  Architecture architecture = Architecture::kUnknown;
};

struct InstallationFacts {
  ClientSystem system = ClientSystem::kLinux;
  std::string clientFolder;
  std::string clientProblem;    // why there is no client there; empty: a client
  bool clientUnreadable = false;  // its registration is there, but this user cannot read it
  InstalledFile clientProgram;  // the file that tells the client's architecture
  Registration registration;
  InstalledFile module;
  std::vector<InstalledFile> hosts;  // the hosts the client's architecture needs
  std::string logPath;               // the driver's log, as the client's user would write it
  std::string logProblem;            // why this user cannot write it; empty: can
};

// A file of the installation as found at the path: whether it is a regular
// file there, and its architecture.
InstalledFile InstalledFileAt(const std::string& path);

// The hosts a client of an architecture needs beside the module: its own
// architecture's (a library cut short runs there) and those of the other
// architectures the system runs there.
std::vector<std::string> HostsFor(ClientSystem system, Architecture client);

}  // namespace installation_check
