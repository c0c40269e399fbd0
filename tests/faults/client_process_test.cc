// Windows: what a client process does that no test can undo in its own
// process (client_process.cc runs it): exiting after a library call was cut
// short, and changing its own library search.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_directory.h"
#include "wide_text.h"

namespace vdqrn {
namespace {

namespace fs = std::filesystem;

struct ClientRun {
  bool ended = false;  // within the time limit
  DWORD exitCode = 0;
  std::string output;
};

// Runs client_process with the arguments, its output through a pipe; ended
// after `limitMs` at the latest.
ClientRun RunClient(const std::string& arguments, DWORD limitMs) {
  ClientRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return run;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = write;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring commandLine = L"client_process.exe " + Wide(arguments);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    run.output = "the client did not start: error " + std::to_string(GetLastError());
    CloseHandle(read);
    CloseHandle(write);
    return run;
  }
  CloseHandle(write);
  CloseHandle(process.hThread);
  run.ended = WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0;
  if (!run.ended) TerminateProcess(process.hProcess, 9);
  WaitForSingleObject(process.hProcess, 5000);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hProcess);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
  CloseHandle(read);
  return run;
}

// After a call was cut short holding the library's lock, nothing of the
// library runs again: a thread that starts or ends, and the process's exit,
// would otherwise wait for that lock in the library's notifications for good.
TEST(ClientProcess, ExitsAfterALibraryCallWasCutShort) {
  for (const char* thread : {"same", "other"}) {
    const ClientRun run = RunClient(std::string("exit-after-cut-short ") + thread, 60 * 1000);
    EXPECT_TRUE(run.ended) << thread << ": " << run.output;
    EXPECT_EQ(run.exitCode, 0u) << thread << ": " << run.output;
    EXPECT_NE(run.output.find("exiting"), std::string::npos) << thread << ": " << run.output;
  }
}

// The library is in the current directory and, a copy of it, in a folder on
// PATH. What the client's own search allows decides, and the file checked is
// the file loaded.
class ClientSearch : public ::testing::Test {
 public:
  void SetUp() override {
    fs::create_directories(current());
    fs::create_directories(onPath());
    fs::copy_file("recordingspectro.dll", current() + "\\searched.dll");
    fs::copy_file("recordingspectro.dll", onPath() + "\\searched.dll");
  }
  std::string current() const { return base_.Path() + "\\cwd"; }
  std::string onPath() const { return base_.Path() + "\\onpath"; }
  ClientRun Locate(const std::string& how) {
    return RunClient("locate " + how + " searched " + current() + " " + onPath(), 60 * 1000);
  }
  static std::string Field(const std::string& output, const std::string& name) {
    const std::size_t at = output.find(name + "=");
    if (at == std::string::npos) return "(missing)";
    const std::size_t end = output.find_first_of("\r\n", at);
    return output.substr(at + name.size() + 1, end == std::string::npos ? end : end - at - name.size() - 1);
  }
  static bool SameFile(const std::string& a, const std::string& b) {
    if (a == "none" || b == "none") return false;
    std::error_code error;
    return !a.empty() && !b.empty() && fs::equivalent(a, b, error);
  }

  TestDirectory base_;
};

// The file checked and loaded is the one the client's own LoadLibrary maps
// for the name, whatever the client did to its search.
void ExpectTheClientsFile(const ClientRun& run, const std::string& expected) {
  ASSERT_TRUE(run.ended) << run.output;
  const std::string client = ClientSearch::Field(run.output, "client");
  EXPECT_TRUE(ClientSearch::SameFile(client, expected)) << run.output;
  EXPECT_TRUE(ClientSearch::SameFile(ClientSearch::Field(run.output, "located"), client))
      << run.output;
  EXPECT_TRUE(ClientSearch::SameFile(ClientSearch::Field(run.output, "loaded"), client))
      << run.output;
}

// SetDllDirectory("") takes the current directory out of the search, as
// documented, where the system does (under wine the current directory
// stays in): whichever copy the client's loader takes is checked and loaded.
TEST_F(ClientSearch, AnEmptyDllDirectoryIsTheClientsLoadersChoice) {
  const ClientRun run = Locate("empty-dll-directory");
  const std::string client = Field(run.output, "client");
  EXPECT_TRUE(SameFile(client, current() + "\\searched.dll") ||
              SameFile(client, onPath() + "\\searched.dll"))
      << run.output;
  ExpectTheClientsFile(run, client);
}

// A client that restricted its search to the system folder finds no such
// library: none is named and none loaded (where the file checked was the
// current directory's and its load failed).
TEST_F(ClientSearch, ARestrictedSearchFindsNoLibraryOutsideIt) {
  const ClientRun run = Locate("restricted");
  ASSERT_TRUE(run.ended) << run.output;
  EXPECT_EQ(Field(run.output, "client"), "none") << run.output;
  EXPECT_EQ(Field(run.output, "located"), "") << run.output;
  EXPECT_EQ(Field(run.output, "loaded"), "none") << run.output;
}

}  // namespace
}  // namespace vdqrn
