#include "instrument/conversions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <typeinfo>

#include <boost/lexical_cast.hpp>

namespace vdqrn {

namespace {

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestExactPower = 22;

// General notation with 6 or 7 significant digits, for the values that can be
// rounded in double arithmetic without doubt: the value is scaled by an exact
// power of ten into [10^(digits-1), 10^digits), where the scaling errs by
// less than 1e-9; unless the fraction is that close to one half, rounding the
// scaled value rounds the exact one the same way. Null for the rest (zero,
// subnormal, huge, infinite, not-a-number and near-halves), which take the
// exact conversion. Several times faster than it.
char* RoundInDouble(float value, int digits, char* out) {
  if (digits < 1 || digits > 7 || !std::isnormal(value)) return nullptr;
  const double magnitude = std::fabs(static_cast<double>(value));
  // The decimal exponent, estimated from the binary one (1233 / 4096 is just
  // under log10(2), so the estimate is the exponent or one less) and
  // corrected below.
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int binary = static_cast<int>((bits >> 23) & 0xFF) - 127;
  int exponent = binary >= 0 ? (binary * 1233) >> 12 : -((-binary * 1233 + 4095) >> 12);
  int scale = digits - 1 - exponent;  // scaled = magnitude * 10^scale
  double scaled = 0;
  const double low = kExactPowersOfTen[digits - 1];
  const double high = kExactPowersOfTen[digits];
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (scale > kLargestExactPower || scale < -kLargestExactPower) return nullptr;
    scaled = scale >= 0 ? magnitude * kExactPowersOfTen[scale]
                        : magnitude / kExactPowersOfTen[-scale];
    if (scaled >= high) {
      --scale;
    } else if (scaled < low) {
      ++scale;
    } else {
      break;
    }
  }
  if (scaled < low || scaled >= high) return nullptr;
  // scaled is positive and below 10^7: truncation is its floor.
  const auto whole = static_cast<std::uint32_t>(scaled);
  const double fraction = scaled - whole;
  if (std::fabs(fraction - 0.5) < 1e-6) return nullptr;
  std::uint32_t rounded = fraction > 0.5 ? whole + 1 : whole;
  exponent = digits - 1 - scale;
  if (rounded == static_cast<std::uint32_t>(high)) {
    rounded = static_cast<std::uint32_t>(low);
    ++exponent;
  }

  char figures[8];
  std::to_chars(figures, figures + digits, rounded);
  int count = digits;
  while (count > 1 && figures[count - 1] == '0') --count;

  char* end = out;
  if (value < 0) *end++ = '-';
  if (exponent < -4 || exponent >= digits) {
    *end++ = figures[0];
    if (count > 1) {
      *end++ = '.';
      end = std::copy(figures + 1, figures + count, end);
    }
    *end++ = 'e';
    *end++ = exponent < 0 ? '-' : '+';
    const int size = exponent < 0 ? -exponent : exponent;
    if (size < 10) *end++ = '0';
    end = std::to_chars(end, out + kMaxFloatText, size).ptr;
  } else if (exponent >= 0) {
    const int integral = exponent + 1;
    for (int i = 0; i < integral; ++i) *end++ = i < count ? figures[i] : '0';
    if (count > integral) {
      *end++ = '.';
      end = std::copy(figures + integral, figures + count, end);
    }
  } else {
    *end++ = '0';
    *end++ = '.';
    end = std::fill_n(end, -exponent - 1, '0');
    end = std::copy(figures, figures + count, end);
  }
  return end;
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

char* WriteFloatText(float value, int digits, char* out) {
  if (char* end = RoundInDouble(value, digits, out)) return end;
  if (std::isnan(value)) {
    // Whether not-a-number shows its sign differs between platforms' stream
    // formatting; the stream decides, as it always did.
    std::ostringstream text;
    text.precision(digits);
    text << static_cast<double>(value);
    const std::string written = text.str().substr(0, kMaxFloatText);
    return std::copy(written.begin(), written.end(), out);
  }
  // The exact conversion: what printf's %g writes, always with a "." as
  // decimal point.
  return std::to_chars(out, out + kMaxFloatText, static_cast<double>(value),
                       std::chars_format::general, digits)
      .ptr;
}

std::string FloatToText(float value) {
  char text[kMaxFloatText];
  return std::string(text, WriteFloatText(value, 7, text));
}

std::string FloatToShortText(float value) {
  char text[kMaxFloatText];
  return std::string(text, WriteFloatText(value, 6, text));
}

}  // namespace vdqrn
