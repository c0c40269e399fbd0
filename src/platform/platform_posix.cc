// POSIX implementation of the platform layer.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
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

// Exceptions of a library built for this system unwind through our frames
// like our own; there is nothing to catch here.
bool CallGuarded(GuardedProcedure call, void* context) {
  call(context);
  return true;
}

namespace detail {

// Lines come many to a second: the broken-down time of the last second asked
// for on this thread is kept, and the conversion runs once a second.
LocalTime SystemLocalTime() {
  thread_local std::time_t lastSecond = static_cast<std::time_t>(-1);
  thread_local LocalTime last{};
  const std::time_t now = std::time(nullptr);
  if (now != lastSecond) {
    std::tm parts{};
    localtime_r(&now, &parts);
    last = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    lastSecond = now;
  }
  return last;
}

// $TMPDIR when set and not empty, else /tmp; always with a trailing '/', and
// /tmp/ when the result would not fit a path.
std::size_t SystemTempDirectory(char* buffer) {
  const char* env = std::getenv("TMPDIR");
  const char* directory = (env != nullptr && *env != '\0') ? env : "/tmp";
  std::size_t length = std::strlen(directory);
  const bool separator = directory[length - 1] == '/';
  if (length + (separator ? 0 : 1) > kMaxPath) {
    directory = "/tmp/";
    length = 5;
  }
  std::memcpy(buffer, directory, length);
  if (buffer[length - 1] != '/') buffer[length++] = '/';
  buffer[length] = '\0';
  return length;
}

}  // namespace detail
}  // namespace platform
