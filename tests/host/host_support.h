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
