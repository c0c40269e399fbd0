#include "bench_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "diagnostics/log.h"
#include "platform/platform.h"

namespace vdqrn {

namespace bench {

InProcessLogFolder::InProcessLogFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vdqrn-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
  // Without a folder of its own the log goes to the system's directory.
  platform::SetTempDirectoryForTesting(path_);
  diagnostics::ResetFirstOpenForTesting();
}

InProcessLogFolder::~InProcessLogFolder() {
  platform::SetTempDirectoryForTesting("");
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string InProcessLogFolder::LogPath() const {
  return platform::TempDirectory() + "QuarnClientDriver.log";
}

std::uintmax_t FileSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

std::vector<std::string> LinesFrom(const std::string& path, std::uintmax_t offset) {
  const std::uintmax_t size = FileSize(path);
  std::string bytes(size > offset ? static_cast<std::size_t>(size - offset) : 0, '\0');
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < bytes.size()) {
    const std::size_t end = bytes.find('\n', begin);
    const std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(begin, next - begin));
    begin = next;
  }
  return lines;
}

std::size_t TotalBytes(const std::vector<std::string>& lines) {
  std::size_t total = 0;
  for (const auto& line : lines) total += line.size();
  return total;
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace bench

}  // namespace vdqrn
