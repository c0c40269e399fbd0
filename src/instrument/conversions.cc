#include "instrument/conversions.h"

#include <limits>
#include <sstream>
#include <typeinfo>

#include <boost/lexical_cast.hpp>

namespace {

std::string FloatWithPrecision(float value, int digits) {
  std::ostringstream text;
  text.precision(digits);
  text << static_cast<double>(value);
  return text.str();
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
