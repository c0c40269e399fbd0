// Conversions between parameter texts and the library's value types. A text
// that is not a whole decimal number of the target type raises
// boost::bad_lexical_cast, which the dispatcher answers as a failed command.
#pragma once

#include <cstdint>
#include <string>

namespace vdqrn {

int TextToInt(const std::string& text);
// Fails on negative values too, rather than wrapping "-1" round to 65535.
std::uint16_t TextToUInt16(const std::string& text);
std::string IntToText(int value);
// General notation, 7 significant digits: 400, 0.5, 0.1234568, 1.234568e+07.
std::string FloatToText(float value);
// The same with 6 significant digits, as the spectral list uses.
std::string FloatToShortText(float value);
// The text of FloatToText (digits 7) or FloatToShortText (digits 6), written
// to out, which has room for kMaxFloatText characters; returns its end.
constexpr int kMaxFloatText = 16;  // "-1.234567e+38" and more
char* WriteFloatText(float value, int digits, char* out);

}  // namespace vdqrn
