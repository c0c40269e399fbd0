// The driver's number texts, read the same whatever the locale: "." as the
// decimal point, exponents as "1e+07" and "1e-05", "inf", "-inf", "nan" and
// "-nan" for values that are no finite number.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qrnclient {

// The whole text as a number; nothing when anything is left over.
std::optional<double> ParseNumber(const std::string& text);
// The whole text as a decimal integer (an optional "-", digits).
std::optional<long long> ParseInteger(const std::string& text);
// The pieces of a list between separators; an empty text is an empty list.
std::vector<std::string> SplitList(const std::string& text, char separator);

}  // namespace qrnclient
