// POSIX: dynamic libraries, the file the system loads for a name, the
// first bytes of a library file, and the folder of the module itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace vdqrn {
namespace platform {

const char kLocalLibraryPrefix[] = "./";
const char kLibrarySuffix[] = ".so";

LibraryHandle LoadDynamicLibrary(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

// dlopen looks for a path with a slash in that place only.
std::string LocateLibrary(const char* path) {
  struct stat status {};
  if (path == nullptr || stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return std::string();
  if (path[0] == '/') return path;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return std::string();
  const char* relative = std::strncmp(path, "./", 2) == 0 ? path + 2 : path;
  return std::string(folder) + (folder[1] == '\0' ? "" : "/") + relative;
}

LibraryHandle LoadLibraryFile(const std::string& file) { return LoadDynamicLibrary(file.c_str()); }

std::string LastLoadError() {
  const char* error = dlerror();
  return error != nullptr ? error : "";
}

bool LibraryIsLoaded(const std::string& file) {
  void* const loaded = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (loaded == nullptr) {
    dlerror();  // a refusal here is no load's reason
    return false;
  }
  dlclose(loaded);  // the reference RTLD_NOLOAD took
  return true;
}

std::string FileStamp(const std::string& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) return std::string();
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_ctim.tv_sec) +
         "." + std::to_string(status.st_ctim.tv_nsec);
}

std::string LibrarySearchDescription(const char*) {
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return "the current directory (unknown)";
  return std::string("the current directory \"") + folder + "\"";
}

void* FindExport(LibraryHandle library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

namespace {

// The absolute folder of the file that holds this code, as the system mapped
// it: on Linux the path /proc/self/maps gives for the mapping of this
// function (never the name the engine passed to dlopen, which may be
// relative to a directory that has changed since); elsewhere the loader's
// name made absolute while the directory is still the one it was found
// from. Empty when it cannot be told or is not absolute.
#if defined(__linux__)
// The file a line of /proc/self/maps names, when it is the very file mapped
// there (the same device and inode): the kernel writes a newline in a name
// as "\012" (and leaves a backslash as it is, so both readings are tried),
// and names a memfd or a deleted file by something that is no path.
std::string MappedFile(const std::string& line) {
  unsigned long long offset = 0, inode = 0;
  unsigned deviceMajor = 0, deviceMinor = 0;
  int at = 0;
  if (std::sscanf(line.c_str(), "%*x-%*x %*s %llx %x:%x %llu %n", &offset, &deviceMajor, &deviceMinor,
                  &inode, &at) != 4 ||
      at <= 0 || static_cast<std::size_t>(at) >= line.size() || line[at] != '/') {
    return std::string();
  }
  const std::string named = line.substr(static_cast<std::size_t>(at));
  std::string unescaped;
  for (std::size_t next = 0; next < named.size(); ++next) {
    if (named.compare(next, 4, "\\012") == 0) {
      unescaped += '\n';
      next += 3;
    } else {
      unescaped += named[next];
    }
  }
  for (const std::string& candidate : {unescaped, named}) {
    struct stat status {};
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        major(status.st_dev) == deviceMajor && minor(status.st_dev) == deviceMinor &&
        static_cast<unsigned long long>(status.st_ino) == inode) {
      return candidate;
    }
  }
  return std::string();
}
#endif

std::string FindOwnDirectory() {
  const auto here = reinterpret_cast<std::uintptr_t>(&FindOwnDirectory);
  std::string path;
#if defined(__linux__)
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    // "start-end perms offset dev inode   path"
    unsigned long long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &start, &end) != 2) continue;
    if (here < start || here >= end) continue;
    // Found: a mapping that is no file of a folder (a memfd) has no folder
    // to start a host from.
    path = MappedFile(line);
    if (path.empty()) return std::string();
    break;
  }
#endif
  if (path.empty()) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FindOwnDirectory), &info) != 0 && info.dli_fname != nullptr) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved) != nullptr) path = resolved;
    }
  }
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

// Found while the module loads.
const std::string& LoadedDirectory() {
  static const std::string directory = FindOwnDirectory();
  return directory;
}
[[maybe_unused]] const bool g_directoryFound = !LoadedDirectory().empty();

}  // namespace

std::string OwnDirectory() { return LoadedDirectory(); }

namespace detail {

// Non-blocking, and only a regular file is read: never a FIFO or device.
std::size_t ReadFileStart(const std::string& file, unsigned char* bytes, std::size_t capacity) {
  const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return 0;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return 0;
  }
  std::size_t got = 0;
  while (got < capacity) {
    const ssize_t count = read(descriptor, bytes + got, capacity - got);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  close(descriptor);
  return got;
}

}  // namespace detail
}  // namespace platform
}  // namespace vdqrn
