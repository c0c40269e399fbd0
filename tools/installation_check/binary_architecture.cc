#include "binary_architecture.h"

#include <cstdint>
#include <fstream>

namespace installation_check {

namespace {

// Enough for the headers of any program the tool meets: a PE file's NT
// header lies where its DOS header says, in practice within the first
// kilobytes.
constexpr std::size_t kHeaderBytes = 64 * 1024;

std::uint32_t Little(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

Architecture OfElf(std::string_view bytes) {
  // e_ident: class at 4 (1: 32-bit, 2: 64-bit), data at 5 (1: little
  // endian); e_machine at 18. Every client we serve is little endian.
  if (bytes.size() < 20 || bytes[5] != 1) return Architecture::kUnknown;
  const bool wide = bytes[4] == 2;
  if (!wide && bytes[4] != 1) return Architecture::kUnknown;
  switch (Little(bytes, 18, 2)) {
    case 3:  // EM_386
      return wide ? Architecture::kUnknown : Architecture::kX86;
    case 62:  // EM_X86_64
      return wide ? Architecture::kX64 : Architecture::kUnknown;
    case 40:  // EM_ARM
      return wide ? Architecture::kUnknown : Architecture::kArmhf;
    case 183:  // EM_AARCH64
      return wide ? Architecture::kArm64 : Architecture::kUnknown;
    default:
      return Architecture::kUnknown;
  }
}

Architecture OfPe(std::string_view bytes) {
  if (bytes.size() < 0x40) return Architecture::kUnknown;
  const std::size_t nt = Little(bytes, 0x3c, 4);
  if (nt > bytes.size() || bytes.size() - nt < 6 ||
      bytes.substr(nt, 4) != std::string_view("PE\0\0", 4)) {
    return Architecture::kUnknown;
  }
  switch (Little(bytes, nt + 4, 2)) {
    case 0x014c:
      return Architecture::kX86;
    case 0x8664:
      return Architecture::kX64;
    case 0xaa64:
      return Architecture::kArm64;
    default:  // 32-bit ARM Windows and the rest: no client of ours
      return Architecture::kUnknown;
  }
}

}  // namespace

Architecture ArchitectureOfHeader(std::string_view bytes) {
  if (bytes.substr(0, 4) ==
      "\x7f"
      "ELF")
    return OfElf(bytes);
  if (bytes.substr(0, 2) == "MZ") return OfPe(bytes);
  return Architecture::kUnknown;
}

Architecture ArchitectureOfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Architecture::kUnknown;
  std::string bytes(kHeaderBytes, '\0');
  file.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return ArchitectureOfHeader(bytes);
}

const char* ArchitectureName(Architecture architecture) {
  switch (architecture) {
    case Architecture::kX86:
      return "x86";
    case Architecture::kX64:
      return "x64";
    case Architecture::kArmhf:
      return "armhf";
    case Architecture::kArm64:
      return "arm64";
    case Architecture::kUnknown:
      break;
  }
  return "unknown";
}

Architecture OwnArchitecture() {
#if defined(__x86_64__) || defined(_M_X64)
  return Architecture::kX64;
#elif defined(__i386__) || defined(_M_IX86)
  return Architecture::kX86;
#elif defined(__aarch64__) || defined(_M_ARM64)
  return Architecture::kArm64;
#elif defined(__arm__)
  return Architecture::kArmhf;
#else
  return Architecture::kUnknown;
#endif
}

}  // namespace installation_check
