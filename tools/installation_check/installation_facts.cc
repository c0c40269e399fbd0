#include "installation_facts.h"

#include <filesystem>
#include <system_error>

namespace installation_check {

InstalledFile InstalledFileAt(const std::string& path) {
  InstalledFile file;
  file.path = path;
  std::error_code error;
  file.present = std::filesystem::is_regular_file(path, error);
  if (file.present) file.architecture = ArchitectureOfFile(path);
  return file;
}

std::vector<std::string> HostsFor(ClientSystem system, Architecture client) {
  if (system == ClientSystem::kWindows) {
    switch (client) {
      case Architecture::kX86:
        return {"QRNHOST32.EXE"};
      case Architecture::kX64:
        return {"QRNHOST64.EXE", "QRNHOST32.EXE"};
      case Architecture::kArm64:
        return {"QRNHOSTA64.EXE", "QRNHOST64.EXE", "QRNHOST32.EXE"};
      default:
        return {};
    }
  }
  switch (client) {
    case Architecture::kX86:
    case Architecture::kArmhf:
      return {"qrnhost32"};
    case Architecture::kX64:
    case Architecture::kArm64:
      return {"qrnhost64", "qrnhost32"};
    default:
      return {};
  }
}

}  // namespace installation_check
