// What the benchmark suites share: a log folder for the driver code linked
// into the benchmark, the lines that a file gained and the resident memory of
// the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vdqrn {

namespace bench {

// A fresh folder for the log of the driver code linked into this process
// (not of a module loaded from a file: that one reads TMPDIR); the next line
// starts the log afresh. Restores the temporary directory and removes the
// folder when the object goes.
class InProcessLogFolder {
 public:
  InProcessLogFolder();
  ~InProcessLogFolder();
  InProcessLogFolder(const InProcessLogFolder&) = delete;
  InProcessLogFolder& operator=(const InProcessLogFolder&) = delete;
  // The log file's path.
  std::string LogPath() const;

 private:
  std::string path_;
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

}  // namespace vdqrn
