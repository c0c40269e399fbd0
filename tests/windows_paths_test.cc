// Windows: the log's folder is found and written whatever its name, also one
// outside the ANSI code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
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

}  // namespace
}  // namespace vdqrn
