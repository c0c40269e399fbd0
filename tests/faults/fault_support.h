// Shared by the fault injection tests: the recording instrument library's
// controls, reached from the test process, and the engine simulator's sends
// seen as what reached the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "platform/platform.h"

// The recording instrument library, loaded by the test under the path the
// driver uses, so that both reach the same instance: what the test scripts
// here, the driver's calls get.
class RecordingControls {
 public:
  // What every entry point throws after recording its call.
  enum Throw {
    kNothing = 0,
    kInt = 1,             // not a class
    kRuntimeError = 2,    // std::runtime_error("recorded failure")
    kUnrelatedClass = 3,  // a class outside the standard family
    kNullWhat = 4,        // a standard exception whose what() is null
    // Windows only, as a library built with another compiler behaves:
    kForeign = 5,         // its C++ throw, the exception 0xE06D7363
    kAbort = 6,           // abort()
  };

  RecordingControls();
  ~RecordingControls();
  RecordingControls(const RecordingControls&) = delete;
  RecordingControls& operator=(const RecordingControls&) = delete;

  bool IsLoaded() const { return library_ != nullptr; }
  void Reset();
  std::string Journal();
  void SetText(const char* text);  // null: every text entry point returns null
  void SetThrow(Throw kind);

 private:
  template <typename Procedure>
  Procedure Find(const char* name) const;

  platform::LibraryHandle library_;
};

// The answer to a command whose library call threw a standard exception with
// the reason. On 32-bit Windows our compiler's exceptions cannot leave the
// module that threw them (each module unwinds with its own tables): the
// library's runtime aborts, the call is cut short, and the reason is lost.
std::string StandardExceptionAnswer(const std::string& command, const std::string& reason);
// Whether a standard exception's reason reaches the answer on this target.
bool LibraryReasonsAreReadable();

// The sends the engine accepted (status 0), in order; the engine simulator
// records every call of a send entry point, refused ones included.
std::vector<std::string> AcceptedSends(const std::vector<engine_sim::SentData>& sent,
                                       const std::vector<std::int32_t>& statuses);

// Every command family once, with the responses that the simulated
// instrument gives to them after a reset; the script a session runs.
struct Exchange {
  const char* command;
  const char* response;
};
const std::vector<Exchange>& EveryFamilyWithSimspectro();
