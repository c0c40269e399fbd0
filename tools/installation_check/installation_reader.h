// Reads a client installation from the system as the client itself reads it:
// on Linux the client folder's config/module.ini, on Windows the registry of
// the client's own hive and view. One implementation per system.
#pragma once

#include <string>

#include "installation_facts.h"

namespace installation_check {

// The installation in clientFolder; an empty folder means the default
// client: /opt/Citrix/ICAClient on Linux, on Windows the client the registry
// names (per machine first, then the user's own).
InstallationFacts ReadInstallation(const std::string& clientFolder);

// Whether this user can write the driver's log where the client's driver
// would (the same checks as the driver's own open). Empty when it can.
std::string LogProblem(const std::string& logPath);

// The driver's log path for this user, from the environment as it is now.
std::string DriverLogPath();

}  // namespace installation_check
