// Decimal texts read as numbers without the locale: the reading that stands
// in for std::from_chars where the C++ runtime lacks it must take and refuse
// exactly what from_chars does.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <locale>
#include <string>

#include "instrument/decimal_text.h"

namespace vdqrn {
namespace {

// Both readings, for every case.
template <typename Check>
void ForBoth(const std::string& text, Check check) {
  check(ParseDecimal(text), "ParseDecimal(\"" + text + "\")");
  check(ParseDecimalWithoutFromChars(text), "ParseDecimalWithoutFromChars(\"" + text + "\")");
}

void ExpectValue(const std::string& text, double expected) {
  ForBoth(text, [&](std::optional<double> value, const std::string& what) {
    ASSERT_TRUE(value.has_value()) << what;
    EXPECT_EQ(*value, expected) << what;
  });
}

void ExpectRefused(const std::string& text) {
  ForBoth(text, [&](std::optional<double> value, const std::string& what) {
    EXPECT_FALSE(value.has_value()) << what << " gave " << value.value_or(0);
  });
}

TEST(DecimalText, ReadsTheDriversNumbersExactly) {
  ExpectValue("1", 1);
  ExpectValue("-2.5", -2.5);
  ExpectValue(".5", 0.5);
  ExpectValue("5.", 5);
  ExpectValue("0", 0);
  ExpectValue("1e3", 1000);
  ExpectValue("1E-3", 0.001);
  ExpectValue("1.234568e+07", 1.234568e+07);
  ExpectValue("0.1234568", 0.1234568);
  ExpectValue("0.1", 0.1);
  ExpectValue("400", 400);
  ExpectValue("1.7976931348623157e308", std::numeric_limits<double>::max());
  ExpectValue("2.2250738585072014e-308", std::numeric_limits<double>::min());
  ExpectValue("000123.4500", 123.45);
}

TEST(DecimalText, ReadsInfinitiesAndNotANumber) {
  for (const char* text : {"inf", "INF", "infinity", "Infinity"}) {
    ExpectValue(text, std::numeric_limits<double>::infinity());
  }
  ExpectValue("-inf", -std::numeric_limits<double>::infinity());
  for (const char* text : {"nan", "-nan", "NaN", "nan(123)", "nan(ind)", "nan()"}) {
    ForBoth(text, [&](std::optional<double> value, const std::string& what) {
      ASSERT_TRUE(value.has_value()) << what;
      EXPECT_TRUE(std::isnan(*value)) << what;
    });
  }
}

TEST(DecimalText, RefusesWhatFromCharsRefuses) {
  for (const char* text :
       {"", "-", ".", "-.", "+1", " 1", "1 ", "1e", "1e+", "1e-", "e5", "0x10", "1,5", "1.2.3",
        "--1", "infx", "in", "infinit", "nan(", "nan(1", "nan)", "nanx", "1e400", "-1e400",
        "1\n", "\t1", "1f", "١"}) {
    ExpectRefused(text);
  }
}

// A process whose C++ locale writes "," as the decimal point (as a client
// set for its user may) reads the same.
struct CommaPoint : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(DecimalText, TheProcesssLocaleChangesNothing) {
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
  ExpectValue("-2.5", -2.5);
  ExpectValue("1.234568e+07", 1.234568e+07);
  ExpectRefused("2,5");
  std::locale::global(previous);
}

}  // namespace
}  // namespace vdqrn
