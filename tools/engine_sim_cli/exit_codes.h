// The exit codes of the engine_sim tool, listed in its --help.
#pragma once

namespace engine_sim_cli {

enum ExitCode : int {
  kExitOk = 0,              // every command got a response (also --help)
  kExitNoResponse = 1,      // at least one command got no response
  kExitUsage = 2,           // unknown option, missing or bad option value
  kExitScript = 3,          // the script file cannot be read
  kExitModuleLoad = 4,      // the module cannot be loaded, or its Load fails
  kExitModuleOpen = 5,      // the module refused to open
  kExitLogFolder = 6,       // no temporary folder for the driver's log
  // --check only:
  kExitChannels = 7,        // a channel did not open, or has no write hook
  kExitLibraryLoad = 8,     // the named instrument library did not load (Init)
  kExitLibraryConnect = 9,  // the library loaded but did not connect
  // --listen only:
  kExitListen = 10,         // cannot listen on the address
  kExitReadyFile = 11,      // the ready file cannot be written
  // --script and typed commands:
  kExitUnexpected = 12,     // a response other than the script expects
  // --check of an installation: 13 to 21, installation_check's FaultStatus.
  kExitReport = 22,         // --report: the report cannot be written
};

}  // namespace engine_sim_cli
