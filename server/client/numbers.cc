#include "numbers.h"

#include <charconv>

#include "instrument/decimal_text.h"

namespace qrnclient {

std::optional<double> ParseNumber(const std::string& text) { return vdqrn::ParseDecimal(text); }

std::optional<long long> ParseInteger(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end) return std::nullopt;
  return value;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t next = text.find(separator, start);
    items.push_back(text.substr(start, next - start));
    if (next == std::string::npos) break;
    start = next + 1;
  }
  return items;
}

}  // namespace qrnclient
