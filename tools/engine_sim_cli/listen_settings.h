// What engine_sim --listen serves each session with.
#pragma once

#include <chrono>
#include <string>

#include "allow_list.h"

namespace engine_sim_cli {

constexpr std::chrono::seconds kDefaultIdleLimit{300};

struct ListenSettings {
  std::string module;         // the driver module's path
  bool hpc = false;           // a winstation driver with high-performance mode
  AllowList allowList;
  bool noDriver = false;      // a client without the driver: nothing answers
  // A client whose driver did not load: its channels are not offered, and
  // their opens fail with error 2.
  bool driverNotLoaded = false;
  // One client session for every connection: the module is loaded at the
  // first and stays loaded and open, as in a session that several programs
  // use one after another.
  bool keepSession = false;
  // Normal mode's rule: a response leaves only at the engine's poll, every
  // this many milliseconds (a command written before the poll replaces the
  // one still pending); 0: at once, after each command.
  int pollMs = 0;
  bool acceptRemote = false;  // also connections from other machines
  bool once = false;          // end after the first session
  // A session whose program sends nothing for this long ends; 0: never.
  std::chrono::milliseconds idleLimit{kDefaultIdleLimit};
};

}  // namespace engine_sim_cli
