#include "check.h"

#include <optional>

#include "conversation.h"
#include "exit_codes.h"
#include "transcript.h"

namespace engine_sim_cli {

namespace {

bool ChannelOpened(const engine_sim::Engine& engine, const char* name, std::ostream& out) {
  const std::uint16_t number = engine.ChannelNumber(name);
  if (number == 0) {
    out << "check: channel " << name << " not opened\n";
    return false;
  }
  if (!engine.HasWriteHook(name)) {
    out << "check: channel " << name << " (" << number << ") opened without a write hook\n";
    return false;
  }
  out << "check: channel " << name << " (" << number << ") opened\n";
  return true;
}

// The response to a command on the command channel, "(no response)" when none.
std::string Ask(engine_sim::Engine& engine, const std::string& command) {
  const std::optional<std::string> response =
      Exchange(engine, engine_sim::kCommandChannelName, command);
  return response ? *response : std::string("(no response)");
}

}  // namespace

std::string LoadFailureFromLog(const std::string& log) {
  const std::string marker = "  Loading Driver error\n";
  const std::size_t at = log.rfind(marker);
  if (at == std::string::npos) return std::string();
  const std::size_t start = at + marker.size();
  const std::size_t end = log.find('\n', start);
  std::string line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
  // "dd.mm.yyyy - hh:mm:ss  " before the text.
  const std::size_t stamp = line.find("  ");
  if (stamp == std::string::npos || stamp != 21) return std::string();
  return line.substr(stamp + 2);
}

int CheckOpenedModule(engine_sim::Engine& engine, const std::string& library, std::ostream& out,
                      const std::function<std::string()>& readLog) {
  out << "check: module loaded and opened\n";
  const bool command = ChannelOpened(engine, engine_sim::kCommandChannelName, out);
  const bool data = ChannelOpened(engine, engine_sim::kDataChannelName, out);
  if (!command || !data) return kExitChannels;
  out << "check: the module's version: " << conversation_text::Visible(Ask(engine, "QuarnClientDriverVersion"))
      << "\n";
  if (library.empty()) return kExitOk;

  const std::string init = Ask(engine, "Init|" + library + "|");
  if (init != "OK") {
    out << "check: library \"" << library << "\" not loaded: " << conversation_text::Visible(init) << "\n";
    const std::string why = readLog ? LoadFailureFromLog(readLog()) : std::string();
    if (!why.empty()) out << "check: " << why << "\n";
    return kExitLibraryLoad;
  }
  out << "check: library \"" << library << "\" loaded\n";
  const std::string connect = Ask(engine, "Connect");
  if (connect != "OK|true") {
    out << "check: library \"" << library << "\" not connected: " << conversation_text::Visible(connect) << "\n";
    Ask(engine, "Disconnect");
    return kExitLibraryConnect;
  }
  out << "check: library \"" << library << "\" connected\n";
  Ask(engine, "Disconnect");
  return kExitOk;
}

}  // namespace engine_sim_cli
