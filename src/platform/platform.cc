// The parts of the platform layer that are the same on every system: the test
// seams in front of the clock and the temporary directory.
#include "platform/platform.h"
#include "platform/shared_channel.h"

#include <cstdint>
#include <cstring>

namespace vdqrn {

namespace platform {
namespace {

ClockFunction g_clock = nullptr;
long g_logWriteLimit = -1;
long g_logSpace = -1;

// The test's temporary directory, when one is set. Plain bytes, set up
// before any code runs and never destroyed: a log line written while the
// module is loaded (before other statics are made) or while the process ends
// (in a static's destructor) always finds them whole.
char g_tempOverride[kTempDirectoryBuffer] = {};
std::size_t g_tempOverrideLength = 0;

}  // namespace

const char* ArchitectureName(Architecture architecture) {
  switch (architecture) {
    case Architecture::kX86: return "32-bit x86";
    case Architecture::kX64: return "64-bit x86-64";
    case Architecture::kArm32: return "32-bit ARM";
    case Architecture::kArm64: return "64-bit ARM";
    case Architecture::kUnknown: break;
  }
  return "unknown architecture";
}

// Every read is bounded by `size`, with the offsets taken from the file
// checked before any arithmetic on them: the file is the remote side's choice.
Architecture ArchitectureFromHeader(const unsigned char* head, std::size_t size) {
  const auto u16 = [&](std::size_t at) { return static_cast<unsigned>(head[at] | head[at + 1] << 8); };
  if (size >= 20 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F' &&
      head[5] == 1 /* little-endian */) {
    const unsigned machine = u16(18);
    if (head[4] == 1 && machine == 3) return Architecture::kX86;      // ELFCLASS32, EM_386
    if (head[4] == 2 && machine == 62) return Architecture::kX64;     // ELFCLASS64, EM_X86_64
    if (head[4] == 1 && machine == 40) return Architecture::kArm32;   // ELFCLASS32, EM_ARM
    if (head[4] == 2 && machine == 183) return Architecture::kArm64;  // ELFCLASS64, EM_AARCH64
    return Architecture::kUnknown;
  }
  if (size >= 0x40 && head[0] == 'M' && head[1] == 'Z') {
    const std::uint32_t pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 |
                             static_cast<std::uint32_t>(head[0x3F]) << 24;
    // "PE\0\0" and the u16 machine: six bytes from `pe`, all inside.
    if (pe > size || size - pe < 6) return Architecture::kUnknown;
    if (head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) {
      return Architecture::kUnknown;
    }
    const unsigned machine = u16(pe + 4);
    if (machine == 0x014C) return Architecture::kX86;
    if (machine == 0x8664) return Architecture::kX64;
    if (machine == 0x01C4) return Architecture::kArm32;  // ARMNT (Thumb-2)
    if (machine == 0xAA64) return Architecture::kArm64;
  }
  return Architecture::kUnknown;
}

Architecture LibraryArchitecture(const std::string& file) {
  unsigned char head[kHeaderBytes] = {};
  return ArchitectureFromHeader(head, detail::ReadFileStart(file, head, sizeof head));
}

std::string HostFileName(Architecture architecture) {
  const bool narrow = architecture == Architecture::kX86 || architecture == Architecture::kArm32;
  const char* bits = narrow ? "32" : "64";
#if defined(_WIN32)
  // On Windows on ARM the x64 host is QRNHOST64.EXE; the arm64 one has a
  // name of its own.
  if (architecture == Architecture::kArm64) return "QRNHOSTA64.EXE";
  return std::string("QRNHOST") + bits + ".EXE";
#else
  return std::string("qrnhost") + bits;
#endif
}

LocalTime CurrentLocalTime() {
  return g_clock != nullptr ? g_clock() : detail::SystemLocalTime();
}

std::string TempDirectory() {
  char buffer[kTempDirectoryBuffer];
  const std::size_t length = TempDirectory(buffer);
  return std::string(buffer, length);
}

std::size_t TempDirectory(char* buffer) {
  if (g_tempOverrideLength == 0) return detail::SystemTempDirectory(buffer);
  std::memcpy(buffer, g_tempOverride, g_tempOverrideLength + 1);
  return g_tempOverrideLength;
}

void SetClockForTesting(ClockFunction clock) { g_clock = clock; }

void SetLogWriteLimitForTesting(long bytes) { g_logWriteLimit = bytes; }

void SetLogSpaceForTesting(long bytes) { g_logSpace = bytes; }

namespace detail {

std::size_t LogWriteAllowance(std::size_t count) {
  if (g_logWriteLimit >= 0 && count > static_cast<std::size_t>(g_logWriteLimit)) {
    count = static_cast<std::size_t>(g_logWriteLimit);
  }
  return LogSpaceAllowance(count);
}

std::size_t LogSpaceAllowance(std::size_t count) {
  if (g_logSpace < 0) return count;
  if (count > static_cast<std::size_t>(g_logSpace)) count = static_cast<std::size_t>(g_logSpace);
  g_logSpace -= static_cast<long>(count);
  return count;
}

}  // namespace detail

void SetTempDirectoryForTesting(const std::string& directory) {
  g_tempOverrideLength = directory.copy(g_tempOverride, kTempDirectoryBuffer - 1);
  g_tempOverride[g_tempOverrideLength] = '\0';
}

}  // namespace platform

}  // namespace vdqrn
