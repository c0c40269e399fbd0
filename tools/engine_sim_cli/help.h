// The tool's --help text.
#pragma once

#include <string>

namespace engine_sim_cli {

std::string HelpText();

}  // namespace engine_sim_cli
