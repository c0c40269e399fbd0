#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "instrument/conversions.h"

namespace vdqrn {

TEST(TextToInt, ReadsWholeDecimalTextsOnly) {
  EXPECT_EQ(TextToInt("42"), 42);
  EXPECT_EQ(TextToInt("+7"), 7);
  EXPECT_EQ(TextToInt("-12"), -12);
  EXPECT_EQ(TextToInt("010"), 10);
  EXPECT_EQ(TextToInt("2147483647"), 2147483647);
  for (const char* bad : {"", " 1", "1 ", "1a", "0x10", "99999999999", "-", "1.5"}) {
    EXPECT_THROW(TextToInt(bad), boost::bad_lexical_cast) << '"' << bad << '"';
  }
  EXPECT_THROW(TextToInt(std::string("1\0", 2)), boost::bad_lexical_cast);
}

TEST(TextToUInt16, CoversTheWholeRangeAndRefusesNegativeValues) {
  EXPECT_EQ(TextToUInt16("0"), 0);
  EXPECT_EQ(TextToUInt16("1033"), 1033);
  EXPECT_EQ(TextToUInt16("65535"), 65535);
  for (const char* bad : {"65536", "-1", "-65535", "", " 5", "x"}) {
    EXPECT_THROW(TextToUInt16(bad), boost::bad_lexical_cast) << '"' << bad << '"';
  }
}

TEST(Conversions, FailureCarriesTheStandardDescription) {
  try {
    TextToUInt16("-1");
    FAIL();
  } catch (const std::exception& failure) {
    EXPECT_STREQ(failure.what(),
                 "bad lexical cast: source type value could not be interpreted as target");
  }
}

TEST(IntToText, PlainDecimal) {
  EXPECT_EQ(IntToText(-12), "-12");
  EXPECT_EQ(IntToText(0), "0");
  EXPECT_EQ(IntToText(2147483647), "2147483647");
}

TEST(FloatToText, SevenSignificantDigitsInGeneralNotation) {
  EXPECT_EQ(FloatToText(400.0f), "400");
  EXPECT_EQ(FloatToText(0.5f), "0.5");
  EXPECT_EQ(FloatToText(0.1f), "0.1");
  EXPECT_EQ(FloatToText(0.123456789f), "0.1234568");
  EXPECT_EQ(FloatToText(1234567.0f), "1234567");
  EXPECT_EQ(FloatToText(-2.25f), "-2.25");
  // Scientific notation from 1e7 on and below 1e-4; the exponent's digit
  // count is the platform's.
  EXPECT_EQ(FloatToText(12345678.0f).substr(0, 11), "1.234568e+0");
  EXPECT_EQ(FloatToText(0.00001f).substr(0, 3), "1e-");
}

TEST(FloatToShortText, SixSignificantDigits) {
  EXPECT_EQ(FloatToShortText(0.123456789f), "0.123457");
  EXPECT_EQ(FloatToShortText(12.3456789f), "12.3457");
  EXPECT_EQ(FloatToShortText(400.0f), "400");
  EXPECT_EQ(FloatToShortText(1234567.0f).substr(0, 10), "1.23457e+0");
}

namespace {

// How a stream with default formatting writes the value widened to double.
std::string StreamText(float value, int digits) {
  std::ostringstream text;
  text.precision(digits);
  text << static_cast<double>(value);
  return text.str();
}

// Whether this runtime's streams round a value exactly halfway between two
// texts to the even one, as the C standard's default rounding mode, glibc and
// Windows' own UCRT do (arm64 wine's UCRT rounds such ties away from zero).
bool StreamRoundsTiesToEven() { return StreamText(0.125f, 2) == "0.12"; }

// Whether the value, written with `digits` significant digits, is exactly
// halfway between two texts: its exact decimal digits after those are a 5
// and zeros.
bool IsTie(float value, int digits) {
  std::ostringstream text;
  text.precision(60);
  text << std::scientific << static_cast<double>(value);
  std::string mantissa = text.str().substr(0, text.str().find('e'));
  mantissa.erase(std::remove(mantissa.begin(), mantissa.end(), '.'), mantissa.end());
  if (!mantissa.empty() && mantissa[0] == '-') mantissa.erase(0, 1);
  const std::size_t cut = static_cast<std::size_t>(digits);
  return mantissa.size() > cut && mantissa[cut] == '5' &&
         mantissa.find_first_not_of('0', cut + 1) == std::string::npos;
}

// The stream's text as the oracle, except for ties where the stream does
// not round them to even: those are left out.
bool StreamIsTheOracle(float value, int digits) {
  return StreamRoundsTiesToEven() || !IsTie(value, digits);
}

}  // namespace

// The texts are the ones a default-formatted stream writes, for every kind of
// value: both precisions, signs, rounding at the last digit, the edges of
// fixed notation, subnormals, the extremes, infinities and not-a-number.
TEST(FloatToText, WritesWhatAStreamWrites) {
  std::vector<float> values = {0.0f, -0.0f, 1.0f, -1.0f, 0.95576f, 0.9999995f, 9.9999995f,
                               0.0001f, 0.00009999999f, 9999999.0f, 10000000.0f, 123456.5f,
                               1e-45f, 1.17549435e-38f, 3.40282347e+38f, -3.40282347e+38f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::quiet_NaN(),
                               -std::numeric_limits<float>::quiet_NaN()};
  // A spread of bit patterns across the whole range, both signs.
  for (std::uint32_t bits = 0x00000001u; bits < 0x7F800000u; bits += 0x000F4243u) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    values.push_back(value);
    values.push_back(-value);
  }
  for (const float value : values) {
    if (StreamIsTheOracle(value, 7)) {
      EXPECT_EQ(FloatToText(value), StreamText(value, 7)) << value;
    }
    if (StreamIsTheOracle(value, 6)) {
      EXPECT_EQ(FloatToShortText(value), StreamText(value, 6)) << value;
    }
  }
  // Ties go to the even text whatever the runtime.
  EXPECT_EQ(FloatToShortText(123456.5f), "123456");
  EXPECT_EQ(FloatToShortText(123457.5f), "123458");
  EXPECT_EQ(FloatToText(7507.625f), "7507.625");
  EXPECT_EQ(FloatToShortText(7507.625f), "7507.62");
}

// The spectral list takes its six-digit texts a faster way for most values;
// every float in a stretch of typical reflectances, at the edges of fixed
// notation and around the smallest normal value must still read as the stream
// writes it.
TEST(FloatToShortText, EveryFloatInTypicalRangesAsAStreamWrites) {
  const float starts[] = {0.95f, 0.0001f, 99999.5f, 999999.5f, 1.17549435e-38f, -0.5f};
  for (const float start : starts) {
    std::uint32_t bits;
    std::memcpy(&bits, &start, sizeof bits);
    bits -= 2000;
    int mismatches = 0;
    for (int step = 0; step < 20000 && mismatches < 5; ++step, ++bits) {
      float value;
      std::memcpy(&value, &bits, sizeof value);
      const std::string text = FloatToShortText(value);
      if (text != StreamText(value, 6) && StreamIsTheOracle(value, 6)) {
        ++mismatches;
        ADD_FAILURE() << "bits " << std::hex << bits << ": " << text << " instead of "
                      << StreamText(value, 6);
      }
    }
  }
}

}  // namespace vdqrn
