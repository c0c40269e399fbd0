#include "script.h"

namespace engine_sim_cli {

bool ReadLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool IsCommandLine(const std::string& line) {
  if (line.empty() || line[0] == '#') return false;
  return line.find_first_not_of(" \t") != std::string::npos;
}

}  // namespace engine_sim_cli
