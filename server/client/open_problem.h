// Why the channels did not open, in words an administrator can act on: for
// a refusal by the server's allow list, the entries to add for this
// program.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace qrnclient {

// The allow-list entries that let the program open both channels:
// "QrnCmd1,{path}" and "QrnDta1,{path}".
std::vector<std::string> AllowListEntries(const std::string& programPath);

// One paragraph, without a final line end.
std::string OpenProblem(const OpenResult& result, const std::string& programPath);

}  // namespace qrnclient
