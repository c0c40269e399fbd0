// Windows: the log's folder is found and written whatever its name, also one
// outside the ANSI code page; library names are read in the client's code
// page, and a name with a folder part is looked for only where the remote
// application may choose from.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "instrument/driver_name.h"
#include "platform/platform.h"
#include "platform/windows_support.h"
#include "support/test_directory.h"
#include "support/wide_text.h"

namespace vdqrn {
namespace {

TEST(WindowsPaths, TheLogFolderMayHaveANameOutsideTheCodePage) {
  TestDirectory base;
  const std::wstring folder = Wide(base.Path()) + L"\\Temp \u03a9 \u6e2c\u5b9a\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  wchar_t previous[1024] = {};
  const bool hadTmp = GetEnvironmentVariableW(L"TMP", previous, 1024) > 0;
  SetEnvironmentVariableW(L"TMP", folder.c_str());
  platform::SetTempDirectoryForTesting("");

  const std::string directory = platform::TempDirectory();
  const std::string log = directory + "probe.log";
  const platform::FileHandle file = platform::OpenLogFile(log.c_str(), true);
  platform::WriteLogFile(file, "line\n", 5);
  platform::CloseLogFile(file);
  SetEnvironmentVariableW(L"TMP", hadTmp ? previous : nullptr);

  // The folder in UTF-8, the file in it.
  EXPECT_EQ(Wide(directory), folder);
  EXPECT_NE(file, platform::kNoFile);
  const std::wstring written = folder + L"probe.log";
  EXPECT_NE(GetFileAttributesW(written.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(written.c_str());
  RemoveDirectoryW(folder.c_str());
}

// In code page 949 the bytes A9 F6 are the superscript 1: "COM\xA9\xF6" is
// the device COM1 to the system. The check of the bytes alone lets it pass;
// the name as the client's code page reads it is refused before any folder
// is looked at, though a file of that name waits in the current directory.
TEST(WindowsPaths, DeviceNamesAreReadInTheClientsCodePage) {
  TestDirectory base;
  wchar_t previous[MAX_PATH];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(Wide(base.Path()).c_str()));
  const std::wstring planted[] = {L"COM\u00B9.dll", L"COMA.dll"};
  const std::wstring library = std::wstring(previous, length) + L"\\recordingspectro.dll";
  for (const std::wstring& name : planted) {
    ASSERT_TRUE(CopyFileW(library.c_str(), name.c_str(), FALSE));
  }
  platform::windows::SetFileApiCodePageForTesting(949);
  EXPECT_TRUE(IsAcceptableDriverName("COM\xA9\xF6"));
  EXPECT_EQ(platform::LocateLibrary(".\\COM\xA9\xF6.dll"), "");
  EXPECT_EQ(platform::LocateLibrary(".\\LPT\xA9\xF7.dll"), "");
  // A name of no device in the same code page is found as ever.
  EXPECT_NE(platform::LocateLibrary(".\\COMA.dll"), "");
  platform::windows::SetFileApiCodePageForTesting(0);
  for (const std::wstring& name : planted) DeleteFileW(name.c_str());
  SetCurrentDirectoryW(std::wstring(previous, length).c_str());
}

// The remote application chooses the name: one with a folder part comes
// from under the program's folder or the current directory, never from a
// subfolder of the system folder (whose library's DllMain would run).
TEST(WindowsPaths, ANameWithAFolderPartIsNotLookedForInTheSystemFolders) {
  wchar_t system[MAX_PATH];
  const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
  const std::wstring inSystem = systemFolder + L"\\vdqrn-subfolder-test";
  CreateDirectoryW(inSystem.c_str(), nullptr);
  if (!CopyFileW(L"recordingspectro.dll", (inSystem + L"\\sublibrary.dll").c_str(), FALSE)) {
    GTEST_SKIP() << "cannot write to the system folder here (error " << GetLastError() << ")";
  }
  const char name[] = ".\\vdqrn-subfolder-test\\sublibrary.dll";
  EXPECT_EQ(platform::LocateLibrary(name), "");
  // The same name under the current directory is found there.
  CreateDirectoryW(L"vdqrn-subfolder-test", nullptr);
  ASSERT_TRUE(CopyFileW(L"recordingspectro.dll", L"vdqrn-subfolder-test\\sublibrary.dll", FALSE));
  wchar_t here[MAX_PATH];
  const std::wstring current(here, GetCurrentDirectoryW(MAX_PATH, here));
  EXPECT_EQ(platform::LocateLibrary(name),
            platform::windows::Utf8(current) + "\\vdqrn-subfolder-test\\sublibrary.dll");
  // A bare name still follows the system's search.
  EXPECT_NE(platform::LocateLibrary(".\\recordingspectro.dll"), "");
  DeleteFileW(L"vdqrn-subfolder-test\\sublibrary.dll");
  RemoveDirectoryW(L"vdqrn-subfolder-test");
  DeleteFileW((inSystem + L"\\sublibrary.dll").c_str());
  RemoveDirectoryW(inSystem.c_str());
}

}  // namespace
}  // namespace vdqrn
