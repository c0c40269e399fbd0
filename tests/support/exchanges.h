// What the module answers: a session's exchanges with the simulated
// instrument, the answer to a library's standard exception on this target,
// and the sends that reached the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine_sim.h"

namespace vdqrn {

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

}  // namespace vdqrn
