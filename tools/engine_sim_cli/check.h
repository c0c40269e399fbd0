// The tool's check mode (--check), for management tools and scripts: its exit
// status alone says how far an installation works. The module loaded and
// opened, both channels opened with their write hooks and, when a library is
// named, that library loaded and connected.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "engine_sim.h"

namespace engine_sim_cli {

// Checks an opened module: its channels, then (library not empty) Init of the
// library from the current folder and Connect, then Disconnect. One line per
// step on out; a library that does not load adds the driver's reason from
// its log (readLog gives the log's text so far). Answers kExitOk,
// kExitChannels, kExitLibraryLoad or kExitLibraryConnect (exit_codes.h).
int CheckOpenedModule(engine_sim::Engine& engine, const std::string& library, std::ostream& out,
                      const std::function<std::string()>& readLog = nullptr);

// The reason line the driver logs after its last "Loading Driver error",
// without its time stamp; empty when there is none.
std::string LoadFailureFromLog(const std::string& log);

}  // namespace engine_sim_cli
