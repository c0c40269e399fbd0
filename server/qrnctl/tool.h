// qrnctl as a function of its arguments, its channel functions and its
// streams, so that the tests can run it in process.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "channel_functions.h"

namespace qrnctl {

struct Environment {
  qrnclient::LoadedChannelFunctions functions;  // as LoadChannelFunctions found them
  std::string programPath;                      // for the allow-list entries
  bool inputIsTerminal = false;
};

int RunQrnctl(const std::vector<std::string>& arguments, const Environment& environment,
              std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace qrnctl
