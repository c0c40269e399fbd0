// The installation check: engine_sim --check reads a client installation as
// the client reads it (module.ini on Linux, the registry on Windows), each
// fault with its own exit status and fix, and packs the support report.
// The installations are scratch ones made by the tests: a folder, and on
// Windows the user's own registry hive (a per-user client).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "binary_architecture.h"
#include "engine_sim.h"
#include "environment.h"
#include "findings.h"
#include "module_ini.h"
#include "process_info.h"
#include "support_report.h"
#include "test_directory.h"
#include "tool.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vdqrn {

namespace fs = std::filesystem;

namespace {

using installation_check::Architecture;
using ::testing::HasSubstr;

// An ELF or PE header naming an architecture, as far as the check reads it.
std::string ElfHeader(char wordClass, std::uint16_t machine) {
  std::string bytes(64, '\0');
  bytes.replace(0, 4,
                "\x7f"
                "ELF");
  bytes[4] = wordClass;
  bytes[5] = 1;
  bytes[18] = static_cast<char>(machine & 0xff);
  bytes[19] = static_cast<char>(machine >> 8);
  return bytes;
}

std::string PeHeader(std::uint16_t machine, std::uint32_t ntOffset = 0x80) {
  std::string bytes(0x100, '\0');
  bytes.replace(0, 2, "MZ");
  for (int i = 0; i < 4; ++i) bytes[0x3c + i] = static_cast<char>((ntOffset >> (8 * i)) & 0xff);
  if (ntOffset < bytes.size() && bytes.size() - ntOffset >= 6) {
    bytes.replace(ntOffset, 4, std::string("PE\0\0", 4));
    bytes[ntOffset + 4] = static_cast<char>(machine & 0xff);
    bytes[ntOffset + 5] = static_cast<char>(machine >> 8);
  }
  return bytes;
}

struct HeaderCase {
  const char* name;
  std::string bytes;
  Architecture expected;
};

class Headers : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Headers, NameTheirArchitecture) {
  EXPECT_EQ(installation_check::ArchitectureOfHeader(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Binaries, Headers,
    ::testing::Values(
        HeaderCase{"elf_x64", ElfHeader(2, 62), Architecture::kX64},
        HeaderCase{"elf_x86", ElfHeader(1, 3), Architecture::kX86},
        HeaderCase{"elf_armhf", ElfHeader(1, 40), Architecture::kArmhf},
        HeaderCase{"elf_arm64", ElfHeader(2, 183), Architecture::kArm64},
        // A class that does not fit the machine is no module a client loads.
        HeaderCase{"elf_x64_machine_in_32_bit_class", ElfHeader(1, 62), Architecture::kUnknown},
        HeaderCase{"elf_cut_short", ElfHeader(2, 62).substr(0, 18), Architecture::kUnknown},
        HeaderCase{"pe_x86", PeHeader(0x14c), Architecture::kX86},
        HeaderCase{"pe_x64", PeHeader(0x8664), Architecture::kX64},
        HeaderCase{"pe_arm64", PeHeader(0xaa64), Architecture::kArm64},
        HeaderCase{"pe_nt_header_beyond_the_file", PeHeader(0x8664, 0x1000),
                   Architecture::kUnknown},
        HeaderCase{"pe_nt_offset_wrapping", PeHeader(0x8664, 0xfffffffe), Architecture::kUnknown},
        HeaderCase{"text", "[ICA 3.0]\n", Architecture::kUnknown},
        HeaderCase{"empty", "", Architecture::kUnknown}),
    [](const ::testing::TestParamInfo<HeaderCase>& test) { return test.param.name; });

TEST(Headers, TheBuiltModuleIsOfThisBuildsArchitecture) {
  std::string problem;
  const std::string module = engine_sim_cli::ModuleBesideExecutable(&problem);
  EXPECT_EQ(installation_check::ArchitectureOfFile(module), installation_check::OwnArchitecture())
      << module << problem;
}

// A right registration, and the ways module.ini can hold it another way.
const char kRightIni[] =
    "[ICA 3.0]\r\nVirtualDriver = Thinwire3.0, ClientDrive ,QRN\r\nThinwire3.0 = On\r\n"
    "QRN = On\r\n\r\n[QRN]\r\nDriverName = VDQRN.DLL\r\n";

struct IniCase {
  const char* name;
  std::string text;
  const char* formProblem;  // "" when none
  bool listed;
  bool switchedOn;
};

class ModuleIniForms : public ::testing::TestWithParam<IniCase> {};

TEST_P(ModuleIniForms, AreReadAsTheClientReadsThem) {
  const installation_check::ModuleIniRegistration read =
      installation_check::ReadModuleIni(GetParam().text);
  if (*GetParam().formProblem == '\0') {
    EXPECT_EQ(read.formProblem, "");
  } else {
    EXPECT_THAT(read.formProblem, HasSubstr(GetParam().formProblem));
  }
  EXPECT_EQ(read.listed, GetParam().listed);
  EXPECT_EQ(read.switchedOn, GetParam().switchedOn);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ModuleIniForms,
    ::testing::Values(
        IniCase{"right", kRightIni, "", true, true},
        IniCase{"names_and_values_without_case", "[ica 3.0]\nvirtualdriver=qrn\nqrn=ON\n", "", true,
                true},
        IniCase{"listed_as_part_of_a_longer_name", "[ICA 3.0]\nVirtualDriver = QRNX\n", "", false,
                false},
        IniCase{"list_in_another_section",
                "[ICA 3.0]\nVirtualDriver = A\n[Other]\n"
                "VirtualDriver = QRN\nQRN = On\n",
                "", false, false},
        IniCase{"section_twice", std::string(kRightIni) + "[QRN]\nDriverName = X\n",
                "[QRN] is there twice", true, true},
        IniCase{"ica_twice", std::string(kRightIni) + "[ICA 3.0]\n", "[ICA 3.0] is there twice",
                true, true},
        IniCase{"two_lists", "[ICA 3.0]\nVirtualDriver = QRN\nVirtualDriver = A\n",
                "more than one VirtualDriver line", true, false},
        IniCase{"comment_on_the_list", "[ICA 3.0]\nVirtualDriver = A, QRN ; mine\nQRN = On\n",
                "holds a \";\"", false, true},
        IniCase{"no_list", "[ICA 3.0]\nQRN = On\n", "no VirtualDriver line", false, true},
        IniCase{"no_section", "[Other]\n", "no [ICA 3.0] section", false, false}),
    [](const ::testing::TestParamInfo<IniCase>& test) { return test.param.name; });

// A scratch client installation with the driver installed right; each case
// breaks one thing of it.
class ScratchClient {
 public:
  ScratchClient() : folder_(fs::path(directory_.Path()) / "client") {
    fs::create_directories(folder_ / "config");
    std::string problem;
    const std::string module = engine_sim_cli::ModuleBesideExecutable(&problem);
    fs::copy_file(module, folder_ / "VDQRN.DLL");
    // The client's program, of this build's architecture as the module is.
    fs::copy_file(module, folder_ / kProgram);
    for (const std::string& host : installation_check::HostsFor(kSystem, Own())) {
      std::ofstream(folder_ / host) << "host";
    }
    fs::create_directories(fs::path(directory_.Path()) / "temp");
#if defined(_WIN32)
    SetVariable("TMP", (fs::path(directory_.Path()) / "temp").string());
    Remove();
    SetString(kInstallKey, "InstallFolder", folder_.string() + "\\");
    SetString(kModulesKey + std::string("\\ICA 3.0"), "VirtualDriverEx", "OTHER1,QRN");
    for (const char* name : {"DriverName", "DriverNameWin16"}) {
      SetString(kModulesKey + std::string("\\QRN"), name, "Unsupported");
    }
    SetString(kModulesKey + std::string("\\QRN"), "DriverNameWin32", "VDQRN.DLL");
    if (Own() != Architecture::kX86) {
      SetString(kModulesKey + std::string("\\QRN"), "DriverNameWin64", "VDQRN.DLL");
    }
#else
    SetVariable("TMPDIR", (fs::path(directory_.Path()) / "temp").string());
    WriteIni(kRightIni);
#endif
  }
  ~ScratchClient() {
#if defined(_WIN32)
    Remove();
    SetVariable("TMP", "");
#else
    SetVariable("TMPDIR", "");
#endif
  }

  static Architecture Own() { return installation_check::OwnArchitecture(); }
  std::string Folder() const { return folder_.string(); }
  std::string TempFolder() const { return (fs::path(directory_.Path()) / "temp").string(); }
  void RemoveFile(const std::string& name) { fs::remove(folder_ / name); }
  void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  // A module of another architecture than the client's.
  void PlantForeignModule() {
    WriteFile("VDQRN.DLL", kSystem == installation_check::ClientSystem::kWindows
                               ? PeHeader(Own() == Architecture::kX86 ? 0x8664 : 0x14c)
                               : ElfHeader(Own() == Architecture::kX86 ? 2 : 1,
                                           Own() == Architecture::kX86 ? 62 : 3));
  }

#if defined(_WIN32)
  static constexpr installation_check::ClientSystem kSystem =
      installation_check::ClientSystem::kWindows;
  static constexpr const char* kProgram = "wfica32.exe";
  static constexpr const char* kInstallKey = "SOFTWARE\\Citrix\\Install\\ICA Client";
  static constexpr const char* kModulesKey =
      "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules";
  static void SetString(const std::string& key, const char* name, const std::string& value) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), name, REG_SZ, value.c_str(),
                              static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
  }
  static void SetNumber(const std::string& key, const char* name, DWORD value) {
    ASSERT_EQ(
        RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), name, REG_DWORD, &value, sizeof value),
        ERROR_SUCCESS);
  }
  static void DeleteKey(const std::string& key) { RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str()); }
  static void Remove() { DeleteKey("SOFTWARE\\Citrix"); }
#else
  static constexpr installation_check::ClientSystem kSystem =
      installation_check::ClientSystem::kLinux;
  static constexpr const char* kProgram = "wfica";
  void WriteIni(const std::string& text) { WriteFile("config/module.ini", text); }
#endif

 private:
  TestDirectory directory_;
  fs::path folder_;
};

struct Breakage {
  const char* name;
  void (*apply)(ScratchClient&);
  int status;
  const char* says;  // in the tool's output
};

struct ToolRun {
  int code;
  std::string out;
};

ToolRun RunCheck(std::vector<std::string> arguments) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const int code = engine_sim_cli::RunTool(arguments, in, out, err, false);
  return ToolRun{code, out.str() + err.str()};
}

class InstallationFaults : public ::testing::TestWithParam<Breakage> {};

TEST_P(InstallationFaults, EachHasItsStatusAndItsFix) {
  ScratchClient client;
  GetParam().apply(client);
  const ToolRun run = RunCheck({"--check", "--client", client.Folder()});
  EXPECT_EQ(run.code, GetParam().status) << run.out;
  EXPECT_THAT(run.out, HasSubstr(GetParam().says)) << run.out;
  if (GetParam().status == 0) {
    EXPECT_THAT(run.out, HasSubstr("channel QrnDta1 (6) opened"));
  } else {
    EXPECT_THAT(run.out, HasSubstr("check:   fix: "));
  }
}

#if defined(_WIN32)
const std::string kList = std::string(ScratchClient::kModulesKey) + "\\ICA 3.0";
const std::string kQrn = std::string(ScratchClient::kModulesKey) + "\\QRN";
INSTANTIATE_TEST_SUITE_P(
    Registry, InstallationFaults,
    ::testing::Values(
        Breakage{"none", [](ScratchClient&) {}, 0, "VirtualDriverEx lists QRN"},
        Breakage{"no_client",
                 [](ScratchClient&) { ScratchClient::DeleteKey(ScratchClient::kInstallKey); }, 13,
                 "no ICA client installed in "},
        Breakage{
            "not_listed",
            [](ScratchClient&) { ScratchClient::SetString(kList, "VirtualDriverEx", "OTHER1"); },
            14, "VirtualDriverEx does not list QRN"},
        Breakage{"list_of_the_wrong_type",
                 [](ScratchClient&) { ScratchClient::SetNumber(kList, "VirtualDriverEx", 1); }, 21,
                 "VirtualDriverEx is REG_DWORD, not a string"},
        Breakage{"entry_of_the_wrong_type",
                 [](ScratchClient&) { ScratchClient::SetNumber(kQrn, "DriverNameWin32", 1); }, 16,
                 "QRN\\DriverNameWin32 is REG_DWORD, not a string"},
        Breakage{"no_entry", [](ScratchClient&) { ScratchClient::DeleteKey(kQrn); }, 16,
                 "the key QRN is missing"},
        Breakage{"module_missing", [](ScratchClient& client) { client.RemoveFile("VDQRN.DLL"); },
                 17, "VDQRN.DLL is missing"},
        Breakage{"module_of_another_architecture",
                 [](ScratchClient& client) { client.PlantForeignModule(); }, 18,
                 "install vdqrn-windows-"},
        Breakage{"host_missing",
                 [](ScratchClient& client) {
                   client.RemoveFile(installation_check::HostsFor(ScratchClient::kSystem,
                                                                  ScratchClient::Own())[0]);
                 },
                 19, "QRNHOST"}),
    [](const ::testing::TestParamInfo<Breakage>& test) { return test.param.name; });
#else
std::string IniWith(const std::string& from, const std::string& to) {
  std::string text = kRightIni;
  text.replace(text.find(from), from.size(), to);
  return text;
}
INSTANTIATE_TEST_SUITE_P(
    ModuleIni, InstallationFaults,
    ::testing::Values(
        Breakage{"none", [](ScratchClient&) {}, 0, "VirtualDriver in [ICA 3.0] lists QRN"},
        Breakage{"no_client", [](ScratchClient& client) { client.RemoveFile("config/module.ini"); },
                 13, "/config/module.ini is missing"},
        Breakage{"not_listed", [](ScratchClient& client) { client.WriteIni(IniWith(" ,QRN", "")); },
                 14, "VirtualDriver in [ICA 3.0] does not list QRN"},
        Breakage{"switched_off",
                 [](ScratchClient& client) { client.WriteIni(IniWith("QRN = On", "QRN = Off")); },
                 15, "has \"QRN = Off\", not \"QRN = On\""},
        Breakage{"no_switch",
                 [](ScratchClient& client) { client.WriteIni(IniWith("QRN = On\r\n", "")); }, 15,
                 "has no \"QRN = On\""},
        Breakage{"no_section",
                 [](ScratchClient& client) {
                   client.WriteIni(IniWith("[QRN]\r\nDriverName = VDQRN.DLL\r\n", ""));
                 },
                 16, "the section [QRN] is missing"},
        Breakage{
            "another_driver_name",
            [](ScratchClient& client) { client.WriteIni(IniWith("= VDQRN.DLL", "= vdqrn.so")); },
            16, "[QRN] has DriverName = vdqrn.so, not DriverName = VDQRN.DLL"},
        Breakage{
            "section_twice",
            [](ScratchClient& client) { client.WriteIni(std::string(kRightIni) + "[QRN]\r\n"); },
            21, "[QRN] is there twice"},
        Breakage{"module_missing", [](ScratchClient& client) { client.RemoveFile("VDQRN.DLL"); },
                 17, "VDQRN.DLL is missing"},
        Breakage{"module_of_another_architecture",
                 [](ScratchClient& client) { client.PlantForeignModule(); }, 18,
                 "install the vdqrn-linux-"},
        Breakage{"host_missing", [](ScratchClient& client) { client.RemoveFile("qrnhost32"); }, 19,
                 "qrnhost32 is missing"},
        // The driver never writes through a link in its log's place: no log.
        Breakage{"log_is_a_link",
                 [](ScratchClient& client) {
                   fs::create_symlink("/dev/null", client.TempFolder() + "/QuarnClientDriver.log");
                 },
                 20, "is a symbolic link"}),
    [](const ::testing::TestParamInfo<Breakage>& test) { return test.param.name; });

// Another user's log in the shared temporary folder (as root only: only
// root can give a file away).
TEST(InstallationLog, AnotherUsersLogIsNamedWithItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the log file to another user";
  ScratchClient client;
  const std::string log = client.TempFolder() + "/QuarnClientDriver.log";
  std::ofstream(log) << "another user's session\n";
  ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
  const ToolRun run = RunCheck({"--check", "--client", client.Folder()});
  EXPECT_EQ(run.code, 20) << run.out;
  EXPECT_THAT(run.out, HasSubstr("QuarnClientDriver.log belongs to "));
  EXPECT_THAT(run.out, HasSubstr("\"no log\" does not mean the client did not load the driver"));

  // A module.ini this user cannot read: the client, started by this user,
  // cannot read it either.
  const fs::perms open = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec;
  // The scratch folders, up to the temporary folder, open to pass through.
  for (fs::path folder = client.Folder() + "/config";
       folder.has_relative_path() && folder != fs::temp_directory_path();
       folder = folder.parent_path()) {
    fs::permissions(folder, open, fs::perm_options::add);
  }
  fs::permissions(client.Folder() + "/config/module.ini", fs::perms::owner_read);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    setenv("TMPDIR", "/tmp", 1);  // the scratch one is not this user's
    const ToolRun unreadable = RunCheck({"--check", "--client", client.Folder()});
    const bool said =
        unreadable.out.find("module.ini cannot be read: Permission denied") != std::string::npos &&
        unreadable.out.find("let this user read it") != std::string::npos;
    if (unreadable.code != 13 || !said) {
      std::fprintf(stderr, "%d %s", unreadable.code, unreadable.out.c_str());
    }
    _exit(unreadable.code == 13 && said ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

// The report: one archive with what the check found and read.
std::map<std::string, std::string> ReadTar(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::map<std::string, std::string> entries;
  for (std::size_t at = 0; at + 512 <= bytes.size();) {
    const std::string name(bytes.c_str() + at);
    if (name.empty()) break;
    const std::size_t size = std::stoull(bytes.substr(at + 124, 11), nullptr, 8);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
      sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(bytes[at + i]);
    }
    EXPECT_EQ(sum, std::stoul(bytes.substr(at + 148, 6), nullptr, 8)) << name;
    entries[name] = bytes.substr(at + 512, size);
    at += 512 + (size + 511) / 512 * 512;
  }
  return entries;
}

TEST(SupportReport, HoldsTheFindingsTheRegistrationTheFilesAndTheLogsEnd) {
  ScratchClient client;
  // A log larger than the report takes: its end is kept, and the cut said.
  const std::string log = client.TempFolder() + "/QuarnClientDriver.log";
  {
    std::ofstream file(log, std::ios::binary);
    file << "the oldest line\n"
         << std::string(installation_check::kLogLimit, 'x') << "\nthe latest line\n";
  }
  client.RemoveFile(installation_check::HostsFor(ScratchClient::kSystem, ScratchClient::Own())[0]);
  const std::string report = client.TempFolder() + "/report.tar";
  const ToolRun run = RunCheck({"--check", "--client", client.Folder(), "--report", report});
  EXPECT_EQ(run.code, installation_check::kHostMissing) << run.out;
  EXPECT_THAT(run.out, HasSubstr("report written to "));

  const std::map<std::string, std::string> entries = ReadTar(report);
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.first);
  EXPECT_THAT(names,
              ::testing::ElementsAre("QuarnClientDriver.log", "check-module.log", "files.txt",
                                     "findings.txt", "registration.txt", "system.txt"));
  const std::string& findings = entries.at("findings.txt");
  EXPECT_THAT(findings, HasSubstr("exit status: 19"));
  EXPECT_THAT(findings, HasSubstr("is missing"));
  EXPECT_THAT(findings, HasSubstr("bytes before them are left out"));
  EXPECT_THAT(entries.at("QuarnClientDriver.log"), HasSubstr("the latest line"));
  EXPECT_THAT(entries.at("QuarnClientDriver.log"), ::testing::Not(HasSubstr("the oldest line")));
  EXPECT_LE(entries.at("QuarnClientDriver.log").size(), installation_check::kLogLimit);
  EXPECT_THAT(entries.at("registration.txt"), HasSubstr("QRN"));
  EXPECT_THAT(entries.at("files.txt"), HasSubstr("VDQRN.DLL"));
  EXPECT_THAT(entries.at("files.txt"),
              HasSubstr(std::string("architecture ") +
                        installation_check::ArchitectureName(ScratchClient::Own())));
  EXPECT_THAT(entries.at("system.txt"), HasSubstr("engine_sim "));
  EXPECT_THAT(entries.at("check-module.log"), HasSubstr("Open channel \"QrnDta1\""));
}

TEST(SupportReport, ThatCannotBeWrittenHasItsOwnStatus) {
  ScratchClient client;
  const ToolRun run = RunCheck({"--check", "--client", client.Folder(), "--report",
                                client.TempFolder() + "/no/such/folder/report.tar"});
  EXPECT_EQ(run.code, 22) << run.out;
  EXPECT_THAT(run.out, HasSubstr("no report written: cannot create "));
}

}  // namespace
}  // namespace vdqrn
