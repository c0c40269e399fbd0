// POSIX implementation of the platform layer.
#include <dlfcn.h>

#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace platform {

const char kLocalLibraryPrefix[] = "./";
const char kLibrarySuffix[] = ".so";

LibraryHandle LoadDynamicLibrary(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindExport(LibraryHandle library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

namespace detail {

LocalTime SystemLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

// $TMPDIR when set and not empty, else /tmp; always with a trailing '/', and
// /tmp/ when the result would not fit a path.
std::string SystemTempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string directory = (env != nullptr && *env != '\0') ? env : "/tmp";
  if (directory.back() != '/') directory += '/';
  if (directory.size() > kMaxPath) directory = "/tmp/";
  return directory;
}

}  // namespace detail
}  // namespace platform
