// What a Linux client's config/module.ini says about our module, read as the
// client reads it: section and key names without case, blanks around names
// and values ignored, a CR before the line end ignored.
#pragma once

#include <string>

namespace installation_check {

struct ModuleIniRegistration {
  // Empty when the file's form is one the client reads one way only; else
  // what makes it ambiguous (a section twice, two lists, a ';' on the list's
  // line, no [ICA 3.0] section or no list).
  std::string formProblem;
  bool listed = false;      // VirtualDriver in [ICA 3.0] names QRN
  bool switchedOn = false;  // "QRN = On" in [ICA 3.0]
  std::string switchValue;  // the value of QRN in [ICA 3.0], when present
  bool hasSection = false;  // a [QRN] section
  bool hasDriverName = false;
  std::string driverName;  // DriverName in [QRN]
};

ModuleIniRegistration ReadModuleIni(const std::string& text);

// Whether a comma-separated list of modules (module.ini's VirtualDriver, the
// registry's VirtualDriverEx) names a module: blanks around entries ignored,
// letters compared without case.
bool ListNames(const std::string& list, const std::string& module);

}  // namespace installation_check
