// Command lines, from a script file or typed at the prompt: one command text
// per line, the line end not part of it. Blank lines and lines starting with
// "#" carry no command.
#pragma once

#include <istream>
#include <string>

namespace engine_sim_cli {

// Reads one line without its line end ("\n" or "\r\n"); false at the end of
// the stream. A last line without a line end is a line too.
bool ReadLine(std::istream& in, std::string* line);

// Whether a line carries a command: it holds something other than blanks and
// tabs, and does not start with "#". Everything else on the line, blanks
// included, belongs to the command.
bool IsCommandLine(const std::string& line);

}  // namespace engine_sim_cli
