// What the tool needs to know about its own process: where its executable
// lies.
#pragma once

#include <string>

namespace engine_sim_cli {

// The driver module beside the executable: vdqrn.so (or, where there is none,
// VDQRN.DLL, as a Linux package names it), or VDQRN.DLL on Windows, in the
// executable's folder. Empty, with *problem saying why, when that folder
// cannot be told (on Linux: /proc/self/exe cannot be read).
std::string ModuleBesideExecutable(std::string* problem);

}  // namespace engine_sim_cli
