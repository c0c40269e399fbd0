// Shared by the instrument host suites: the 32-bit libraries' names, the
// recording library's state shared with its copy in the host, and whether a
// process the log named is gone.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_directory.h"

namespace vdqrn {

// The architecture of the host and libraries under test: the 32-bit member
// of this build's machine family (32-bit x86 beside x86-64, 32-bit ARM
// beside 64-bit ARM), and its name as the log writes it.
constexpr platform::Architecture kHostArchitecture =
    platform::PeerArchitecture(platform::kOwnArchitecture);
inline std::string HostArchitectureName() {
  return platform::ArchitectureName(kHostArchitecture);
}

// Why the 32-bit host cannot serve the suite here (not built, or this
// machine cannot start it), or the empty text.
const std::string& WhyNoHost();
// Whether the host must serve it (VDQRN_HOST32_REQUIRED, which the test
// command sets where it runs the suite).
bool HostRequired();
// First in every host test: skips it, saying why, where the host cannot
// serve it; fails it there instead where the host is required.
#define VDQRN_SKIP_WITHOUT_HOST()                                       \
  do {                                                                  \
    if (!::vdqrn::WhyNoHost().empty()) {                                \
      if (::vdqrn::HostRequired()) FAIL() << ::vdqrn::WhyNoHost();      \
      GTEST_SKIP() << ::vdqrn::WhyNoHost();                             \
    }                                                                   \
  } while (false)

// Points the recording library (this process's copy and the host's) at
// files in a folder of its own for as long as the object lives.
class SharedRecordingState {
 public:
  SharedRecordingState();
  ~SharedRecordingState();
  // The folder, without a trailing separator.
  const std::string& Path() const { return directory_.Path(); }

 private:
  TestDirectory directory_;
};

// Whether a standard exception's reason crosses from the 32-bit host: not
// on Windows, where our compiler's 32-bit exceptions cannot leave the
// library that threw them (its runtime aborts and the call is cut short).
bool HostReasonsAreReadable();

// The process ids of "Instrument host started (..., process N)" lines.
std::vector<long> HostProcessIds(const std::vector<std::string>& lines);
// Whether no process with the id runs any more.
bool ProcessIsGone(long id);

}  // namespace vdqrn
