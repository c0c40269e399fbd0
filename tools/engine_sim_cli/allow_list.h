// engine_sim --listen's channel allow list: entries "CHANNEL,FULL-PATH"; when
// there is any, a channel opens only for a program listed for it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace engine_sim_cli {

class AllowList {
 public:
  // Adds "CHANNEL,FULL-PATH"; false when the text is not of that form (no
  // comma, an empty channel or path, a channel longer than 7 characters).
  bool Add(const std::string& entry);
  bool Enabled() const { return !entries_.empty(); }
  // Whether the program may open the channel: always when the list is off.
  // Channel names compare exactly, paths without regard to ASCII case, as
  // Windows compares file names.
  bool Permits(const std::string& channel, const std::string& programPath) const;

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace engine_sim_cli
