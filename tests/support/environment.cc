#include "environment.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vdqrn {

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

}  // namespace vdqrn
