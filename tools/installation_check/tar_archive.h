// A tar archive (POSIX ustar) built in memory: the support report's one file,
// which every system's tar (Windows' included) unpacks.
#pragma once

#include <cstdint>
#include <string>

namespace installation_check {

class TarArchive {
 public:
  // Adds a regular file, mode 0644, owned by nobody in particular. Names are
  // relative, '/'-separated, at most 100 bytes; false (nothing added) when
  // longer.
  bool Add(const std::string& name, const std::string& content, std::int64_t modified);

  // The archive with its closing blocks.
  std::string Finish() const;

 private:
  std::string bytes_;
};

}  // namespace installation_check
