// Which instrument library names Init may hand to the loader.
#pragma once

#include <string>

namespace vdqrn {

// False for a name with a NUL byte, a colon, a ".." path component, a
// component that Windows opens as a device whatever its extension (CON, PRN,
// AUX, NUL, COM0-9, LPT0-9 and their superscript-digit forms; refused on
// every platform alike), or one whose path would not fit the platform's path
// buffer: such a name could reach outside the current directory, open a
// device, or be cut short, so it is never tried.
bool IsAcceptableDriverName(const std::string& name);
// Why such a name is never tried, for the log ("it holds a colon"); empty
// for a name that may be.
std::string WhyDriverNameIsRefused(const std::string& name);

}  // namespace vdqrn
