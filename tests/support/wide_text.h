// Windows tests: UTF-8 text as the UTF-16 the system's wide functions take.
#pragma once

#include <windows.h>

#include <string>

namespace vdqrn {

inline std::wstring Wide(const std::string& utf8) {
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                                           static_cast<int>(utf8.size()),
                                                           wide.data(), static_cast<int>(wide.size()))));
  return wide;
}

}  // namespace vdqrn
