// The architecture check that runs before an instrument library is loaded:
// it reads the file the remote application named, so every header it is
// given, however crafted, ends in an architecture or "unknown".
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "platform/platform.h"
#include "support/test_directory.h"

namespace vdqrn {

namespace {

using platform::Architecture;

std::vector<unsigned char> Elf(unsigned wordClass, unsigned machine) {
  std::vector<unsigned char> head(64, 0);
  head[0] = 0x7F;
  head[1] = 'E';
  head[2] = 'L';
  head[3] = 'F';
  head[4] = static_cast<unsigned char>(wordClass);
  head[5] = 1;
  head[18] = static_cast<unsigned char>(machine);
  head[19] = static_cast<unsigned char>(machine >> 8);
  return head;
}

// A PE file whose header is at `offset`, padded to `size` bytes.
std::vector<unsigned char> Pe(unsigned machine, std::uint32_t offset, std::size_t size) {
  std::vector<unsigned char> head(size, 0);
  head[0] = 'M';
  head[1] = 'Z';
  for (int place = 0; place < 4; ++place) {
    head[0x3C + place] = static_cast<unsigned char>(offset >> 8 * place);
  }
  if (offset < size && size - offset >= 6) {
    head[offset] = 'P';
    head[offset + 1] = 'E';
    head[offset + 4] = static_cast<unsigned char>(machine);
    head[offset + 5] = static_cast<unsigned char>(machine >> 8);
  }
  return head;
}

Architecture FromBytes(const std::vector<unsigned char>& head) {
  return platform::ArchitectureFromHeader(head.data(), head.size());
}

TEST(LibraryHeader, TellsTheArchitecturesItKnows) {
  EXPECT_EQ(FromBytes(Elf(1, 3)), Architecture::kX86);
  EXPECT_EQ(FromBytes(Elf(2, 62)), Architecture::kX64);
  EXPECT_EQ(FromBytes(Elf(1, 40)), Architecture::kArm32);
  EXPECT_EQ(FromBytes(Elf(2, 183)), Architecture::kArm64);
  // A machine field whose class does not match it, and machines of neither family.
  EXPECT_EQ(FromBytes(Elf(2, 3)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Elf(1, 183)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Elf(2, 40)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Elf(2, 243)), Architecture::kUnknown);  // RISC-V
  EXPECT_EQ(FromBytes(Pe(0x014C, 0x80, 0x100)), Architecture::kX86);
  EXPECT_EQ(FromBytes(Pe(0x8664, 0x80, 0x100)), Architecture::kX64);
  EXPECT_EQ(FromBytes(Pe(0x01C4, 0x80, 0x100)), Architecture::kArm32);  // ARMNT
  EXPECT_EQ(FromBytes(Pe(0xAA64, 0x80, 0x100)), Architecture::kArm64);  // ARM64, ARM64X
  // ARM64EC's own code (only in object files), old ARM and Itanium are none of ours.
  EXPECT_EQ(FromBytes(Pe(0xA641, 0x80, 0x100)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Pe(0x01C0, 0x80, 0x100)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Pe(0x0200, 0x80, 0x100)), Architecture::kUnknown);
}

// The host for a library is named by its width.
TEST(LibraryHeader, EachFamilyPairsItsTwoWidths) {
  EXPECT_EQ(platform::PeerArchitecture(Architecture::kX64), Architecture::kX86);
  EXPECT_EQ(platform::PeerArchitecture(Architecture::kX86), Architecture::kX64);
  EXPECT_EQ(platform::PeerArchitecture(Architecture::kArm64), Architecture::kArm32);
  EXPECT_EQ(platform::PeerArchitecture(Architecture::kArm32), Architecture::kArm64);
  EXPECT_EQ(platform::PeerArchitecture(Architecture::kUnknown), Architecture::kUnknown);
#if defined(_WIN32)
  // Windows on ARM ships the x64 host beside the arm64 module: the arm64
  // host cannot share its name.
  EXPECT_EQ(platform::HostFileName(Architecture::kX86), "QRNHOST32.EXE");
  EXPECT_EQ(platform::HostFileName(Architecture::kX64), "QRNHOST64.EXE");
  EXPECT_EQ(platform::HostFileName(Architecture::kArm64), "QRNHOSTA64.EXE");
#else
  EXPECT_EQ(platform::HostFileName(Architecture::kX86), "qrnhost32");
  EXPECT_EQ(platform::HostFileName(Architecture::kArm32), "qrnhost32");
  EXPECT_EQ(platform::HostFileName(Architecture::kX64), "qrnhost64");
  EXPECT_EQ(platform::HostFileName(Architecture::kArm64), "qrnhost64");
#endif
  EXPECT_STREQ(platform::ArchitectureName(Architecture::kArm32), "32-bit ARM");
  EXPECT_STREQ(platform::ArchitectureName(Architecture::kArm64), "64-bit ARM");
}

// Which libraries an instrument host runs, for each module, on Windows and
// elsewhere: the rows are the module's architecture, the columns the
// library's (x86, x64, ARM32, ARM64).
TEST(LibraryHeader, HostsRunTheModulesFamilyAndOnWindowsOnArmTheX86Family) {
  const Architecture kinds[] = {Architecture::kX86, Architecture::kX64, Architecture::kArm32,
                                Architecture::kArm64};
  const bool windows[4][4] = {
      {true, true, false, false},   // x86: its own (cut short) and the x64 host
      {true, true, false, false},   // x64: the x86 host and its own
      {false, false, true, true},   // 32-bit ARM (no such Windows module is built)
      {true, true, false, true}};  // ARM64: the x86 and x64 hosts, under emulation, and its own
  const bool elsewhere[4][4] = {
      {true, true, false, false},
      {true, true, false, false},
      {false, false, true, true},
      {false, false, true, true}};  // arm64 Linux: qrnhost32 for armhf
  for (int module = 0; module < 4; ++module) {
    for (int library = 0; library < 4; ++library) {
      EXPECT_EQ(platform::HostRunsLibrary(kinds[module], kinds[library], true),
                windows[module][library])
          << "Windows, module " << module << ", library " << library;
      EXPECT_EQ(platform::HostRunsLibrary(kinds[module], kinds[library], false),
                elsewhere[module][library])
          << "elsewhere, module " << module << ", library " << library;
    }
    EXPECT_FALSE(platform::HostRunsLibrary(kinds[module], Architecture::kUnknown, true));
    EXPECT_FALSE(platform::HostRunsLibrary(kinds[module], Architecture::kUnknown, false));
    EXPECT_FALSE(platform::HostRunsLibrary(Architecture::kUnknown, kinds[module], true));
  }
}

// What is loaded in process rather than in a host: the module's own
// architecture, and an ARM64 header beside a Windows x64 module (ARM64X,
// which Windows on ARM loads into x64 processes), as before such headers
// were told apart.
TEST(LibraryHeader, TheSystemLoadsItsOwnAndArm64XBesideWindowsX64) {
  const Architecture kinds[] = {Architecture::kX86, Architecture::kX64, Architecture::kArm32,
                                Architecture::kArm64};
  for (const Architecture module : kinds) {
    for (const Architecture library : kinds) {
      const bool arm64x = module == Architecture::kX64 && library == Architecture::kArm64;
      EXPECT_EQ(platform::SystemMayLoad(module, library, true), library == module || arm64x)
          << platform::ArchitectureName(module) << " " << platform::ArchitectureName(library);
      EXPECT_EQ(platform::SystemMayLoad(module, library, false), library == module)
          << platform::ArchitectureName(module) << " " << platform::ArchitectureName(library);
    }
  }
}

TEST(LibraryHeader, OffsetsFromTheFileStayInsideIt) {
  // The header's own offset taken from the file: at the very end, one byte
  // short, past the end, and near 2^32, where a 32-bit sum wraps.
  EXPECT_EQ(FromBytes(Pe(0x014C, 0x40, 0x46)), Architecture::kX86);
  EXPECT_EQ(FromBytes(Pe(0x014C, 0x40, 0x45)), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(Pe(0x014C, 0x1000, 0x100)), Architecture::kUnknown);
  for (std::uint32_t offset : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFAu, 0x80000000u}) {
    EXPECT_EQ(FromBytes(Pe(0x014C, offset, 0x100)), Architecture::kUnknown) << offset;
  }
  // Too short to hold what it starts like.
  EXPECT_EQ(FromBytes(std::vector<unsigned char>{'M', 'Z'}), Architecture::kUnknown);
  EXPECT_EQ(FromBytes(std::vector<unsigned char>{0x7F, 'E', 'L', 'F', 1, 1}), Architecture::kUnknown);
  EXPECT_EQ(platform::ArchitectureFromHeader(nullptr, 0), Architecture::kUnknown);
}

TEST(LibraryHeader, ReadsAFileThatWouldCrashAWrappingCheck) {
  TestDirectory folder;
  const std::string path = folder.Path() + "/crafted.bin";
  const std::vector<unsigned char> head = Pe(0x014C, 0xFFFFFFFCu, 0x200);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(head.data()),
                                              static_cast<std::streamsize>(head.size()));
  EXPECT_EQ(platform::LibraryArchitecture(path), Architecture::kUnknown);
  EXPECT_EQ(platform::LibraryArchitecture(folder.Path() + "/missing.bin"), Architecture::kUnknown);
}

// The file the system would load for a name in the current directory, by
// its absolute path; nothing for a missing name or a folder of that name.
TEST(LibraryLocation, FindsTheCurrentDirectorysFileByItsAbsolutePath) {
  namespace fs = std::filesystem;
  const fs::path before = fs::current_path();
  TestDirectory folder;
  fs::current_path(folder.Path());
  const std::string prefix = platform::kLocalLibraryPrefix;
  const std::string suffix = platform::kLibrarySuffix;
  std::ofstream("vdqrn_locate_probe" + suffix) << "not a library";
  fs::create_directory("vdqrn_locate_folder" + suffix);
  const std::string found = platform::LocateLibrary((prefix + "vdqrn_locate_probe" + suffix).c_str());
  const std::string missing = platform::LocateLibrary((prefix + "vdqrn_locate_none" + suffix).c_str());
  const std::string folderFound =
      platform::LocateLibrary((prefix + "vdqrn_locate_folder" + suffix).c_str());
  const fs::path expected = fs::current_path() / ("vdqrn_locate_probe" + suffix);
  fs::current_path(before);
  EXPECT_TRUE(fs::path(found).is_absolute()) << found;
  EXPECT_TRUE(fs::equivalent(fs::path(found), expected)) << found;
  EXPECT_EQ(missing, "");
  EXPECT_EQ(folderFound, "");
  EXPECT_EQ(platform::LibraryArchitecture(found), Architecture::kUnknown);
}

#if !defined(_WIN32)
// A FIFO named like a library would block a reader until someone writes:
// only a regular file is ever opened.
TEST(LibraryLocation, NeverReadsAnythingButARegularFile) {
  TestDirectory folder;
  const std::string fifo = folder.Path() + "/waiting.so";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(platform::LocateLibrary(fifo.c_str()), "");
  EXPECT_EQ(platform::LibraryArchitecture(fifo), Architecture::kUnknown);
}
#endif

}  // namespace

}  // namespace vdqrn
