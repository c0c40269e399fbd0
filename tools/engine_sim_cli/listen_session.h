// One connection of the channel stand-in, served as one client session: the
// driver module is loaded and opened when it starts and closed and unloaded
// when it ends, as a client does at a reconnect (unless the settings keep one
// client session for every connection: then the listener's engine stays). Open requests are answered,
// each data packet is handed to the module's write hook for its channel, and
// what the module sends on the data channel goes back as packets.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "engine_sim.h"
#include "listen_settings.h"
#include "sockets/socket.h"
#include "wire.h"

namespace engine_sim_cli {

class ListenSession {
 public:
  // `engine` holds the client's engine with the module, kept by the listener
  // across connections when the settings keep the session.
  ListenSession(const ListenSettings& settings, std::unique_ptr<engine_sim::Engine>& engine,
                vdqrn::sockets::Socket connection, int number, std::ostream& out,
                std::ostream& err);
  ListenSession(const ListenSession&) = delete;
  ListenSession& operator=(const ListenSession&) = delete;

  // Serves until the server side disconnects, breaks the protocol, sends
  // nothing (or reads nothing) for the idle limit, or `stop` is set (looked
  // at a few times a second). `between` runs between messages, at least as
  // often.
  void Run(const std::atomic<bool>& stop, const std::function<void()>& between);

 private:
  bool StartModule();
  void StopModule();
  // False when the connection has to end.
  bool Handle(const vdqrn::wire::Message& message);
  std::uint32_t OpenError(const std::string& name, const std::string& programPath) const;
  void Deliver(const std::string& channelName, const std::string& bytes);
  // The engine's poll (with a poll interval): what the module sends then
  // goes to the program.
  void PollAndSend();
  bool SendResponse(const std::string& response);
  void Note(const std::string& text);

  const ListenSettings& settings_;
  vdqrn::sockets::Socket connection_;
  const int number_;
  std::ostream& out_;
  std::ostream& err_;
  std::unique_ptr<engine_sim::Engine>& engine_;
  std::map<std::uint32_t, std::string> channels_;  // open ids and their names
  bool lost_ = false;
  bool driverFailed_ = false;  // the module did not load: served as a client without it
};

}  // namespace engine_sim_cli
