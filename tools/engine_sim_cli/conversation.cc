#include "conversation.h"

#include "script.h"
#include "transcript.h"

namespace engine_sim_cli {

namespace {

// A response that the engine does not take at once is retried at every poll;
// the simulated engine takes everything, so a few polls are plenty.
constexpr int kMaximumPolls = 8;

bool SentSomething(const engine_sim::Engine& engine, std::uint16_t dataChannel) {
  for (const engine_sim::SentData& sent : engine.Sent()) {
    if (sent.channel == dataChannel) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> Exchange(engine_sim::Engine& engine, const std::string& channel,
                                    const std::string& command) {
  const std::uint16_t dataChannel = engine.ChannelNumber(engine_sim::kDataChannelName);
  engine.ClearSent();
  if (!engine.Write(channel, command)) return std::nullopt;
  // In high-performance mode the response has usually left during the write.
  for (int poll = 0; poll < kMaximumPolls && !SentSomething(engine, dataChannel); ++poll) {
    if (engine.Poll() == vdqrn::ica::kStatusNoData) break;
  }
  if (!SentSomething(engine, dataChannel)) return std::nullopt;
  std::string response;
  for (const engine_sim::SentData& sent : engine.Sent()) {
    if (sent.channel == dataChannel) response += sent.bytes;
  }
  return response;
}

ConversationOutcome Converse(engine_sim::Engine& engine, const ConversationSettings& settings,
                             std::istream& in, std::ostream& out, std::ostream& err) {
  ConversationOutcome outcome;
  std::string line;
  std::string command;                   // the last command
  std::optional<std::string> response;  // its response, if it got one
  while (true) {
    if (settings.prompt) out << "> " << std::flush;
    if (!conversation_text::ReadLine(in, &line)) break;
    if (conversation_text::IsExpectationLine(line)) {
      if (!conversation_text::CheckExpectation("engine_sim", line, command, response, err)) ++outcome.unexpected;
      continue;
    }
    if (!conversation_text::IsCommandLine(line)) continue;
    if (!settings.prompt) conversation_text::PrintCommand(out, line);
    command = line;
    response = Exchange(engine, settings.channel, line);
    if (response) {
      conversation_text::PrintResponse(out, *response);
      conversation_text::PrintChartIfSpectral(out, line, *response);
    } else {
      out << std::flush;
      err << "engine_sim: no response to \"" << conversation_text::Visible(line) << "\"" << std::endl;
      ++outcome.unanswered;
    }
    out << std::flush;
  }
  if (settings.prompt) out << std::endl;
  return outcome;
}

}  // namespace engine_sim_cli
