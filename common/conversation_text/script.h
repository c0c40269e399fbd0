// Command lines, from a script file or typed at the prompt: one command text
// per line, the line end not part of it. Blank lines and lines starting with
// "#" carry no command; a line starting with "< " states the response the
// script expects to the command before it.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace conversation_text {

// Reads one line without its line end ("\n" or "\r\n"); false at the end of
// the stream. A last line without a line end is a line too.
bool ReadLine(std::istream& in, std::string* line);

// Whether a line carries a command: it holds something other than blanks and
// tabs, and starts with neither "#" nor "< ". Everything else on the line,
// blanks included, belongs to the command.
bool IsCommandLine(const std::string& line);

// Whether a line states an expected response: "< " and the response, as
// the tools print it (control bytes as \r, \n, \t, \0 or \xNN).
bool IsExpectationLine(const std::string& line);
// Whether the response is the one the expectation line states: exactly, or,
// when the line ends with "...", one that starts with what stands before.
bool MeetsExpectation(const std::string& response, const std::string& expectationLine);
// Checks an expectation line against the last command and its response
// (none when it got none, which the caller reports itself); says on err,
// after the tool's name, why it does not hold. True when it holds.
bool CheckExpectation(const std::string& tool, const std::string& expectationLine,
                      const std::string& command, const std::optional<std::string>& response,
                      std::ostream& err);

}  // namespace conversation_text
