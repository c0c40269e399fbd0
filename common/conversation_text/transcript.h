// How the conversation is printed: "> command" and "< response" lines, with
// control bytes made visible so that every line stays one line.
#pragma once

#include <ostream>
#include <string>

namespace conversation_text {

// The bytes with \r, \n, \t and \0 written as such and other control bytes
// as \xNN; everything else unchanged.
std::string Visible(const std::string& bytes);

void PrintCommand(std::ostream& out, const std::string& command);
void PrintResponse(std::ostream& out, const std::string& response);
// The chart of a GetSpectralDataAll response; nothing for other commands or
// a response that is not a list of 31 numbers.
void PrintChartIfSpectral(std::ostream& out, const std::string& command,
                          const std::string& response);

}  // namespace conversation_text
