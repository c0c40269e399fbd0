// Points the channel stand-in (libwfapi.so / wfapi64.dll / wfapi.dll) of
// this process at a listener: the variable it reads when a channel opens.
#pragma once

#include <cstdlib>
#include <string>

namespace vdqrn {

inline void SetStandInAddress(const std::string& address) {
#if defined(_WIN32)
  _putenv_s("QRN_STANDIN_ADDRESS", address.c_str());
#else
  setenv("QRN_STANDIN_ADDRESS", address.c_str(), 1);
#endif
}

}  // namespace vdqrn
