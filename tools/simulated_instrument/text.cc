#include "text.h"

#include <cctype>

namespace simspectro {

bool EqualsIgnoreCase(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const auto a = static_cast<unsigned char>(left[i]);
    const auto b = static_cast<unsigned char>(right[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += ';';
    joined += item;
  }
  return joined;
}

}  // namespace simspectro
