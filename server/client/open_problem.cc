#include "open_problem.h"

namespace qrnclient {

std::vector<std::string> AllowListEntries(const std::string& programPath) {
  return {std::string(kCommandChannelName) + "," + programPath,
          std::string(kDataChannelName) + "," + programPath};
}

std::string OpenProblem(const OpenResult& result, const std::string& programPath) {
  std::string text = "The virtual channel " + result.failedChannel + " did not open (error " +
                     std::to_string(result.systemError) + ").";
  if (result.accessDenied) {
    text +=
        " Access was denied: the server's virtual channel allow list does not list this "
        "program for the channel. An administrator adds these entries to the allow list "
        "policy (a channel name, a comma, the program's full path) and restarts the server:";
    for (const std::string& entry : AllowListEntries(programPath)) text += "\n  " + entry;
  } else {
    text += " The program must run inside a remote session on the session host.";
  }
  return text;
}

}  // namespace qrnclient
