// The command line of the engine_sim tool.
#pragma once

#include <string>
#include <vector>

namespace engine_sim_cli {

enum class Channel { kCommand, kData };

struct Options {
  std::string module;  // empty: the module built beside the executable
  std::string script;  // empty: commands from standard input
  Channel channel = Channel::kCommand;
  bool hpc = false;    // a winstation driver with high-performance mode
  bool log = false;    // print the driver's log afterwards
  bool check = false;  // check mode: no conversation, the exit status tells
  std::string library; // check mode: the instrument library to load and connect
  bool help = false;
  bool version = false;
  // check mode: the client installation to check (empty: the default one),
  // and the support report to write.
  std::string client;
  std::string report;
  // --listen: serve the channel stand-in's connections instead.
  std::string listen;             // ADDRESS:PORT to listen on
  std::vector<std::string> allow; // allow-list entries "CHANNEL,FULL-PATH"
  bool noDriver = false;          // channels open, nothing is answered
  bool driverNotLoaded = false;   // channels not offered (opens fail with error 2)
  bool keepSession = false;       // one client session for every connection
  int pollMs = 0;                 // --poll; 0: responses leave at once
  bool once = false;              // one session, then exit
  bool acceptRemote = false;      // also connections from other machines
  std::string readyFile;          // gets "ADDRESS:PORT\n" once listening
  int idleLimitSeconds = -1;      // --idle-limit; -1: not given (the default)
};

struct ParsedOptions {
  bool ok = false;
  Options options;
  std::string error;  // one line, when not ok
};

// Options take their value as the next argument or after "=" (--module=x).
// The first unknown option, missing or bad value ends the parsing.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

}  // namespace engine_sim_cli
