// Windows only: what the instrument host and the module share is theirs
// alone (the pipe's name and access, the handles the host holds), and the
// host starts from a module folder of any name and length.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "host_support.h"
#include "platform/platform.h"
#include "platform/shared_channel.h"
#include "test_directory.h"
#include "wide_text.h"

namespace vdqrn {
namespace {

std::string Decimal(HANDLE handle) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}

bool Inheritable(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

// The handles a host is given, inheritable as they arrive.
struct HostArguments {
  HostArguments() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    CreatePipe(&read, &write, &inherit, 0);
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                 static_cast<DWORD>(platform::detail::kChannelPageBytes), nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &parent,
                    SYNCHRONIZE, TRUE, 0);
  }
  // The client's handle now belongs to the host's watch of it.
  ~HostArguments() { CloseHandle(write); }
  HANDLE read = nullptr, write = nullptr, mapping = nullptr, parent = nullptr;
};

TEST(HostHandles, TheHostKeepsItsChannelFromWhatItStarts) {
  VDQRN_SKIP_WITHOUT_HOST();
  HostArguments given;
  ASSERT_TRUE(Inheritable(given.read));
  ASSERT_TRUE(Inheritable(given.parent));
  platform::ChannelEnd end;
  // Two handles (without the client's) are not a host's argument.
  EXPECT_FALSE(platform::OpenParentChannel((Decimal(given.read) + ":" + Decimal(given.mapping)).c_str(),
                                           &end));
  const std::string argument =
      Decimal(given.read) + ":" + Decimal(given.mapping) + ":" + Decimal(given.parent);
  ASSERT_TRUE(platform::OpenParentChannel(argument.c_str(), &end));
  // A process the library starts would keep the pipe open after the host
  // is gone, and the client would not see that it crashed.
  EXPECT_FALSE(Inheritable(given.read));
  EXPECT_FALSE(Inheritable(given.parent));
  platform::CloseChannel(end);
}

// The security identifier of this process's user.
std::vector<char> OwnUser() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> user(size);
  GetTokenInformation(token, TokenUser, user.data(), size, &size);
  CloseHandle(token);
  return user;
}

// The pipe's name as the system knows it ("\vdqrn-host-...").
std::wstring PipeName(HANDLE pipe) {
  std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 1024 * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!GetFileInformationByHandleEx(pipe, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) {
    return std::wstring();
  }
  return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

TEST(HostHandles, ThePipeHasANameNoOneCanGuessAndIsOurUsersAlone) {
  platform::ChannelEnd module[2], host[2];
  for (int pair = 0; pair < 2; ++pair) {
    ASSERT_TRUE(platform::OpenChannelPair(&module[pair], &host[pair]));
  }
  std::set<std::wstring> names;
  for (int pair = 0; pair < 2; ++pair) {
    const std::wstring name = PipeName(reinterpret_cast<HANDLE>(module[pair].wake));
    const std::wstring stem = L"\\vdqrn-host-";
    ASSERT_EQ(name.rfind(stem, 0), 0u) << pair;
    // 128 random bits; nothing of the process id or the clock.
    EXPECT_EQ(name.size(), stem.size() + 32);
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", stem.size()), std::wstring::npos);
    names.insert(name);

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(reinterpret_cast<HANDLE>(module[pair].wake), SE_KERNEL_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    // One entry: our user may; no one else is named.
    ASSERT_EQ(dacl->AceCount, 1);
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &entry));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    std::vector<char> user = OwnUser();
    EXPECT_TRUE(EqualSid(&allowed->SidStart, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
    LocalFree(descriptor);
  }
  EXPECT_EQ(names.size(), 2u);
  for (int pair = 0; pair < 2; ++pair) {
    platform::CloseChannel(module[pair]);
    platform::CloseChannel(host[pair]);
  }
}

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

// A folder name outside any ANSI code page, and a path past MAX_PATH: the
// module still finds its own folder and starts the host from it.
TEST(HostFolders, TheHostStartsFromAModuleFolderOfAnyNameAndLength) {
  TestDirectory base;
  wchar_t full[MAX_PATH];
  ASSERT_NE(GetFullPathNameW(Wide(base.Path()).c_str(), MAX_PATH, full, nullptr), 0u);
  std::wstring folder = full;
  folder += L"\\Messger\u00e4t \u03a9 \u6e2c\u5b9a";
  ASSERT_TRUE(CreateDirectoryW(Long(folder).c_str(), nullptr));
  std::vector<std::wstring> made{folder};
  while (folder.size() < MAX_PATH + 40) {
    folder += L"\\" + std::wstring(60, L'x');
    ASSERT_TRUE(CreateDirectoryW(Long(folder).c_str(), nullptr));
    made.push_back(folder);
  }
  const std::wstring module = folder + L"\\VDQRN.DLL";
  const std::wstring host = folder + L"\\QRNHOST32.EXE";
  ASSERT_TRUE(CopyFileW(L"VDQRN.DLL", Long(module).c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(L"QRNHOST32.EXE", Long(host).c_str(), FALSE));

  std::string loaded, connected;
  {
    const HMODULE library = LoadLibraryW(Long(module).c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    engine_sim::Engine engine;
    ASSERT_TRUE(engine.AttachModule(
        reinterpret_cast<ica::LoadProcedure>(
        reinterpret_cast<void*>(GetProcAddress(library, "Load")))));
    ASSERT_EQ(engine.Open(), 0);
    // The 32-bit simulated instrument, in the current directory.
    engine.Write(engine_sim::kDataChannelName, "Init|simspectro32|");
    engine.Poll();
    loaded = engine.Sent().empty() ? "(no answer)" : engine.Sent().back().bytes;
    engine.ClearSent();
    engine.Write(engine_sim::kDataChannelName, "Connect");
    engine.Poll();
    connected = engine.Sent().empty() ? "(no answer)" : engine.Sent().back().bytes;
    engine.Close();
    engine.Unload();
    FreeLibrary(library);
  }
  EXPECT_EQ(loaded, "OK");
  EXPECT_EQ(connected, "OK|true");

  DeleteFileW(Long(module).c_str());
  DeleteFileW(Long(host).c_str());
  for (auto made_folder = made.rbegin(); made_folder != made.rend(); ++made_folder) {
    RemoveDirectoryW(Long(*made_folder).c_str());
  }
}

}  // namespace
}  // namespace vdqrn
