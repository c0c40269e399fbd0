// What engine_sim --listen serves each session with.
#pragma once

#include <string>

#include "allow_list.h"

namespace engine_sim_cli {

struct ListenSettings {
  std::string module;         // the driver module's path
  bool hpc = false;           // a winstation driver with high-performance mode
  AllowList allowList;
  bool noDriver = false;      // a client without the driver: nothing answers
  bool acceptRemote = false;  // also connections from other machines
  bool once = false;          // end after the first session
};

}  // namespace engine_sim_cli
