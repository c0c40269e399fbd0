#include "allow_list.h"

#include <cctype>

namespace engine_sim_cli {

namespace {

constexpr std::size_t kMaxChannelName = 7;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool AllowList::Add(const std::string& entry) {
  const std::size_t comma = entry.find(',');
  if (comma == std::string::npos) return false;
  const std::string channel = entry.substr(0, comma);
  const std::string path = entry.substr(comma + 1);
  if (channel.empty() || channel.size() > kMaxChannelName || path.empty()) return false;
  entries_.emplace_back(channel, path);
  return true;
}

bool AllowList::Permits(const std::string& channel, const std::string& programPath) const {
  if (entries_.empty()) return true;
  for (const auto& entry : entries_) {
    if (entry.first == channel && SameIgnoringCase(entry.second, programPath)) return true;
  }
  return false;
}

}  // namespace engine_sim_cli
