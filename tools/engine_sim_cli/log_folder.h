// A fresh folder that stands in for the temporary folder of the module while
// the tool runs, so that the module writes its log there and not over the log
// of a client running on the same machine.
#pragma once

#include <string>
#include <vector>

namespace engine_sim_cli {

// An environment variable as it was before the tool changed it.
struct SavedVariable {
  std::string name;
  bool set = false;
  std::string value;
};

class LogFolder {
 public:
  // Creates the folder in the temporary folder and points the temporary
  // folder of modules loaded from now on at it (see engine_sim.h).
  LogFolder();
  // Restores the environment as it was and removes the folder with the log.
  ~LogFolder();
  LogFolder(const LogFolder&) = delete;
  LogFolder& operator=(const LogFolder&) = delete;

  bool Created() const { return !path_.empty(); }
  // Why the folder could not be created.
  const std::string& Error() const { return error_; }
  // The module's log, line ends "\n"; empty when there is none.
  std::string ReadLog() const;
  // The path of the module's log file in the folder.
  std::string LogPath() const;

 private:
  std::string path_;
  std::string error_;
  std::vector<SavedVariable> saved_;
};

}  // namespace engine_sim_cli
