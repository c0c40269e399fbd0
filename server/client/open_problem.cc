#include "open_problem.h"

#include <cstdlib>

namespace qrnclient {

std::vector<std::string> AllowListEntries(const std::string& programPath) {
  return {std::string(kCommandChannelName) + "," + programPath,
          std::string(kDataChannelName) + "," + programPath};
}

std::string OpenAdvice(std::uint32_t systemError) {
  switch (systemError) {
    case kErrorConnectionRefused:
      return "Nothing answers for the channels: the program does not run inside a remote "
             "session, or the session's client is gone. With the channel stand-in on a "
             "development machine: engine_sim --listen is not running at the address "
             "(QRN_STANDIN_ADDRESS, default 127.0.0.1:47120).";
    case kErrorBusy:
      return "The channels are in use: engine_sim --listen serves another program's session "
             "now (one at a time). End that program's session, or start another engine_sim "
             "--listen on another port for this one.";
    case kErrorSemTimeout:
      return "The client did not answer the open in time: it is overloaded or stalled (with "
             "the channel stand-in: engine_sim --listen does not answer). Try again; "
             "reconnect the session if it persists.";
    case kErrorInvalidParameter: {
      // The channel stand-in answers 87 for an address it cannot use; the
      // platform's own functions never read the variable.
      const char* address = std::getenv("QRN_STANDIN_ADDRESS");
      if (address != nullptr && *address != '\0') {
        return std::string("The channel stand-in cannot use QRN_STANDIN_ADDRESS=\"") + address +
               "\": it takes ADDRESS:PORT (default 127.0.0.1:47120), where engine_sim --listen "
               "listens.";
      }
      return "The program must run inside a remote session on the session host.";
    }
    case kErrorFileNotFound:
      return "The client does not offer the channel: the driver is not installed or not "
             "registered on the user's client (see the deployment guide), or the client was "
             "started before it was installed.";
    default:
      return "The program must run inside a remote session on the session host.";
  }
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
    text += " " + OpenAdvice(result.systemError);
  }
  return text;
}

}  // namespace qrnclient
