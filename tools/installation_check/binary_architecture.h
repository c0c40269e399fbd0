// Which processor a program or library is built for, read from its ELF or PE
// header: a client loads only a module of its own architecture.
#pragma once

#include <string>
#include <string_view>

namespace installation_check {

enum class Architecture { kUnknown, kX86, kX64, kArmhf, kArm64 };

// The architecture a file's first bytes name (an ELF header, or a PE file's
// DOS and NT headers); kUnknown for anything else, a truncated header
// included.
Architecture ArchitectureOfHeader(std::string_view bytes);

// The same for a file; kUnknown when it cannot be read.
Architecture ArchitectureOfFile(const std::string& path);

// "x86", "x64", "armhf", "arm64", or "unknown": the names the packages carry.
const char* ArchitectureName(Architecture architecture);

// The architecture this program itself was built for.
Architecture OwnArchitecture();

}  // namespace installation_check
