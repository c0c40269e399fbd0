#include "instrument/driver_name.h"

#include <cstring>

#include "platform/platform.h"

namespace vdqrn {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasParentComponent(const std::string& name) {
  std::size_t begin = 0;
  while (begin <= name.size()) {
    std::size_t end = begin;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (name.compare(begin, end - begin, "..") == 0) return true;
    begin = end + 1;
  }
  return false;
}

}  // namespace

bool IsAcceptableDriverName(const std::string& name) {
  if (name.find('\0') != std::string::npos) return false;
  if (name.find(':') != std::string::npos) return false;
  if (HasParentComponent(name)) return false;
  const std::size_t pathLength = std::strlen(platform::kLocalLibraryPrefix) + name.size() +
                                 std::strlen(platform::kLibrarySuffix);
  return pathLength < platform::kMaxPath;
}

}  // namespace vdqrn
