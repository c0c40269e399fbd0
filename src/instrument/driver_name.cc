#include "instrument/driver_name.h"

#include <cstring>

#include "platform/platform.h"

namespace vdqrn {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Calls test(component) for each part of the name between separators;
// true as soon as one test is true.
template <typename Test>
bool AnyComponent(const std::string& name, Test test) {
  std::size_t begin = 0;
  while (begin <= name.size()) {
    std::size_t end = begin;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (test(name.substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A digit as Windows reads one after COM or LPT: 0 to 9, and the
// superscripts 1, 2 and 3 in the ANSI code page or in UTF-8.
bool IsDeviceDigit(const std::string& rest) {
  if (rest.size() == 1) {
    const unsigned char c = static_cast<unsigned char>(rest[0]);
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
  }
  return rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

// Windows opens a device for these names in any folder, whatever follows
// the first dot (".\COM1.dll" is the serial port): opening one may block or
// change a port the instrument uses.
bool IsDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Upper(c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  return (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         IsDeviceDigit(base.substr(3));
}

}  // namespace

bool IsAcceptableDriverName(const std::string& name) {
  return WhyDriverNameIsRefused(name).empty();
}

std::string WhyDriverNameIsRefused(const std::string& name) {
  if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
  if (name.find(':') != std::string::npos) return "it holds a colon";
  if (AnyComponent(name, [](const std::string& part) { return part == ".."; })) {
    return "it names a parent folder (\"..\")";
  }
  if (AnyComponent(name, IsDeviceName)) return "Windows opens a device for it";
  const std::size_t pathLength = std::strlen(platform::kLocalLibraryPrefix) + name.size() +
                                 std::strlen(platform::kLibrarySuffix);
  if (pathLength >= platform::kMaxPath) {
    return "its path would be " + std::to_string(pathLength) + " bytes long, more than " +
           std::to_string(platform::kMaxPath - 1);
  }
  return std::string();
}

}  // namespace vdqrn
