// Windows: a DLL with the C++ runtime linked in (the module, an instrument
// library) leaves nothing behind once it is unloaded. A runtime that kept a
// thread's exception state in a fiber-local slot with a callback of its own
// would have the system call into the unloaded code when a thread that used
// it ends. The library's runtime takes that state on its first throw, whether
// the exception stays inside the library or leaves it.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "exchanges.h"
#include "instrument/driver_api.h"
#include "platform/platform.h"
#include "recording_controls.h"

namespace vdqrn {
namespace {

struct Caller {
  driver_api::Connect connect = nullptr;
  bool thrown = false;        // the call's exception reached this thread
  HANDLE called = nullptr;    // set once the call threw
  HANDLE mayEnd = nullptr;    // set once the library is gone
};

// Calls the library, which throws through its own runtime, then waits until
// the library is unloaded before this thread ends.
DWORD WINAPI CallsThenEnds(void* context) {
  auto* const caller = static_cast<Caller*>(context);
  try {
    caller->connect();
  } catch (const std::exception&) {
    caller->thrown = true;
  }
  SetEvent(caller->called);
  WaitForSingleObject(caller->mayEnd, INFINITE);
  return 7;
}

class UnloadedLibrary : public testing::TestWithParam<RecordingLibrary::Throw> {};

TEST_P(UnloadedLibrary, AThreadThatCalledItEndsAfterItWasUnloaded) {
  const bool leavesTheLibrary = GetParam() == RecordingLibrary::kRuntimeError;
  if (leavesTheLibrary && !LibraryReasonsAreReadable()) {
    // 32-bit mingw unwinds with each module's own DWARF tables: the throw
    // cannot leave the library, and ends in abort() there.
    GTEST_SKIP() << "an exception cannot leave a 32-bit DLL with its own static runtime";
  }
  Caller caller;
  caller.called = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  caller.mayEnd = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = nullptr;
  {
    RecordingLibrary recording;
    ASSERT_TRUE(recording.IsLoaded());
    recording.SetThrow(GetParam());
    const platform::LibraryHandle library = platform::LoadDynamicLibrary(
        (std::string(platform::kLocalLibraryPrefix) + "recordingspectro" + platform::kLibrarySuffix)
            .c_str());
    ASSERT_NE(library, nullptr);
    caller.connect = reinterpret_cast<driver_api::Connect>(platform::FindExport(library, "Connect"));
    ASSERT_NE(caller.connect, nullptr);
    thread = CreateThread(nullptr, 0, &CallsThenEnds, &caller, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(caller.called, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(caller.thrown, leavesTheLibrary);
    recording.SetThrow(RecordingLibrary::kNothing);
    platform::FreeDynamicLibrary(library);
  }
  EXPECT_EQ(GetModuleHandleA("recordingspectro.dll"), nullptr) << "still loaded";
  // The thread ends now: the process goes on.
  SetEvent(caller.mayEnd);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  CloseHandle(caller.called);
  CloseHandle(caller.mayEnd);
}

INSTANTIATE_TEST_SUITE_P(Throws, UnloadedLibrary,
                         testing::Values(RecordingLibrary::kCaughtInside,
                                         RecordingLibrary::kRuntimeError));

}  // namespace
}  // namespace vdqrn
