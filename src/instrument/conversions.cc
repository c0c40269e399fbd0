#include "instrument/conversions.h"

#include <charconv>
#include <limits>
#include <typeinfo>

#include <boost/lexical_cast.hpp>

namespace {

// General notation, as a stream with default formatting writes a double, but
// without building a stream (and its locale) for every value: the spectral
// list formats 31 of them per command. Always a "." as decimal point.
std::string FloatWithPrecision(float value, int digits) {
  char text[32];
  const std::to_chars_result written = std::to_chars(
      text, text + sizeof text, static_cast<double>(value), std::chars_format::general, digits);
  return std::string(text, written.ptr);
}

}  // namespace

int TextToInt(const std::string& text) { return boost::lexical_cast<int>(text); }

std::uint16_t TextToUInt16(const std::string& text) {
  const int value = boost::lexical_cast<int>(text);
  if (value < 0 || value > std::numeric_limits<std::uint16_t>::max()) {
    throw boost::bad_lexical_cast(typeid(std::string), typeid(std::uint16_t));
  }
  return static_cast<std::uint16_t>(value);
}

std::string IntToText(int value) { return boost::lexical_cast<std::string>(value); }

std::string FloatToText(float value) { return FloatWithPrecision(value, 7); }

std::string FloatToShortText(float value) { return FloatWithPrecision(value, 6); }
