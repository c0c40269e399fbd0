// The exit codes of qrnctl, listed in its --help: scripts may rely on them.
#pragma once

namespace qrnctl {

enum ExitCode : int {
  kExitOk = 0,                // check: all is well; send: answered (not ERROR);
                              // script and prompt: every command answered
  kExitErrorAnswer = 1,       // send: the driver answered ERROR
  kExitUsage = 2,             // unknown option, missing or bad value
  kExitScript = 3,            // the script file cannot be read
  kExitNoResponse = 4,        // a command got no response within the time-out
  kExitNoChannelFunctions = 5,// wfapi64.dll / wfapi.dll missing or incomplete
  kExitAccessDenied = 6,      // the server's allow list refuses this program
  kExitChannelsClosed = 7,    // a channel did not open for another reason
  kExitNoDriver = 8,          // check: the driver did not answer
  kExitLibraryLoad = 9,       // check --library: the instrument library did not load
  kExitLibraryConnect = 10,   // check --library: it loaded but did not connect
  kExitChannelFailure = 11,   // a channel function failed during the conversation
  kExitUnsafeLibraryName = 12,// check --library: the driver refuses the name as unsafe (not sent)
  kExitCommandTooLong = 13,   // send, script: a command over 4996 bytes (never sent)
  kExitLibraryInUse = 14,     // check --library: not done, a library is loaded in the session
  kExitUnexpected = 15,       // script: a response other than the script expects
};

}  // namespace qrnctl
