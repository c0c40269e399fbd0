// Reading a number from the driver's decimal texts, the same whatever the
// locale: "." as the decimal point, as std::from_chars reads them.
#pragma once

#include <optional>
#include <string>

namespace vdqrn {

// The whole text as a double, as std::from_chars reads it: an optional
// "-", digits with at most one "." (at least one digit), an optional
// exponent ("e" or "E", an optional sign, digits); or "inf", "infinity",
// "nan" and "nan(...)" in any case. Nothing when anything is left over or
// the value is out of the double's range.
std::optional<double> ParseDecimal(const std::string& text);
// The same, never through std::from_chars (which some C++ runtimes lack for
// floating point): what ParseDecimal uses there.
std::optional<double> ParseDecimalWithoutFromChars(const std::string& text);

}  // namespace vdqrn
