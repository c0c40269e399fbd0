// The engine_sim tool as a function of its arguments and streams: parses the
// options, loads and opens the driver module as the engine does, holds the
// conversation and closes the module again. main() only hands over the
// process's arguments and streams.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace engine_sim_cli {

// The arguments without the program name. inputIsTerminal: a person types at
// `in` (a prompt is shown unless there is a script). Answers an exit code of
// exit_codes.h; every failure is one line on err.
int RunTool(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
            std::ostream& err, bool inputIsTerminal);

}  // namespace engine_sim_cli
