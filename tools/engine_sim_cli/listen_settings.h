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
  bool acceptRemote = false;  // also connections from other machines
  bool once = false;          // end after the first session
  // A session whose program sends nothing for this long ends; 0: never.
  std::chrono::milliseconds idleLimit{kDefaultIdleLimit};
};

}  // namespace engine_sim_cli
