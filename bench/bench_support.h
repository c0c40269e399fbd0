// What the benchmark suites share: a log folder of their own, the resident
// memory of the process, and the lines that a file gained.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A fresh folder under the system's temporary directory. While the object
// lives, TMPDIR names it, so a driver module loaded in this process writes its
// log there; the folder goes and TMPDIR is restored when the object goes.
class LogFolder {
 public:
  LogFolder();
  ~LogFolder();
  LogFolder(const LogFolder&) = delete;
  LogFolder& operator=(const LogFolder&) = delete;

  // The folder, ending with a separator.
  const std::string& Path() const { return path_; }
  // The driver's log file inside it.
  std::string LogFile() const;

 private:
  std::string path_;
  bool hadTmpdir_ = false;
  std::string oldTmpdir_;
};

// Size of a file in bytes; 0 when it does not exist.
std::uintmax_t FileSize(const std::string& path);
// The file's bytes from an offset on, split after every line end; each line
// keeps its "\n".
std::vector<std::string> LinesFrom(const std::string& path, std::uintmax_t offset);
std::size_t TotalBytes(const std::vector<std::string>& lines);

// The process's resident set in kilobytes, from /proc/self/status.
long ResidentKilobytes();

}  // namespace bench
