// The conversation with an opened module: each command line is written to a
// channel, the way the host writes it, and the response collected from the
// data channel.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "engine_sim.h"

namespace engine_sim_cli {

// Writes the command to the channel's write hook, then polls the module as
// the engine does until the response has gone or the module has nothing to
// send. The bytes sent on the data channel in the meantime, or nothing when
// no response came (or the channel has no write hook).
std::optional<std::string> Exchange(engine_sim::Engine& engine, const std::string& channel,
                                    const std::string& command);

struct ConversationSettings {
  std::string channel;  // the channel the commands are written to
  bool prompt = false;  // typed at a terminal: prompt, and do not echo the command
};

struct ConversationOutcome {
  int unanswered = 0;  // commands without response
  int unexpected = 0;  // responses other than the script expects
};

// Reads command lines until the end of the input and prints the conversation:
// "> command" (unless prompting), "< response" and, for GetSpectralDataAll,
// the chart. A command without response, and a response other than the
// expectation line after it states, gets a line on err.
ConversationOutcome Converse(engine_sim::Engine& engine, const ConversationSettings& settings,
                             std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace engine_sim_cli
