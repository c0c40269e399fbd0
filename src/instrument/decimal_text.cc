// Decimal texts to numbers without the locale.
#include "instrument/decimal_text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <locale>
#include <sstream>

namespace vdqrn {

namespace {

bool StartsWithNoCase(const std::string& text, std::size_t at, const char* word) {
  for (std::size_t i = 0; word[i] != '\0'; ++i) {
    if (at + i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) {
      return false;
    }
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digits from `at` on; how many there were.
std::size_t SkipDigits(const std::string& text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && IsDigit(text[at])) ++at;
  return at - start;
}

// "inf", "infinity", "nan", "nan(...)" from `at` to the end.
std::optional<double> NamedValue(const std::string& text, std::size_t at, bool negative) {
  const std::size_t rest = text.size() - at;
  if ((rest == 3 && StartsWithNoCase(text, at, "inf")) ||
      (rest == 8 && StartsWithNoCase(text, at, "infinity"))) {
    const double infinity = std::numeric_limits<double>::infinity();
    return negative ? -infinity : infinity;
  }
  if (StartsWithNoCase(text, at, "nan")) {
    std::size_t end = at + 3;
    if (end < text.size() && text[end] == '(') {
      ++end;
      while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) != 0 ||
                                   text[end] == '_')) {
        ++end;
      }
      if (end >= text.size() || text[end] != ')') return std::nullopt;
      ++end;
    }
    if (end != text.size()) return std::nullopt;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  return std::nullopt;
}

}  // namespace

std::optional<double> ParseDecimalWithoutFromChars(const std::string& text) {
  std::size_t at = 0;
  const bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  if (at < text.size() && !IsDigit(text[at]) && text[at] != '.') {
    return NamedValue(text, at, negative);
  }
  // Checked here, so that the stream below reads only what from_chars would.
  std::size_t digits = SkipDigits(text, at);
  if (at < text.size() && text[at] == '.') {
    ++at;
    digits += SkipDigits(text, at);
  }
  if (digits == 0) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (SkipDigits(text, at) == 0) return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  // The classic locale's "." whatever the process's locale; the stream
  // fails where the value is out of range, as from_chars does.
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  double value = 0;
  stream >> value;
  if (stream.fail()) return std::nullopt;
  return value;
}

std::optional<double> ParseDecimal(const std::string& text) {
#if defined(_LIBCPP_VERSION)
  // libc++ (the Windows on ARM build's) has no floating-point from_chars.
  return ParseDecimalWithoutFromChars(text);
#else
  double value = 0;
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end) return std::nullopt;
  return value;
#endif
}

}  // namespace vdqrn
