// engine_sim --listen: plays the client side for the channel stand-in. Listens
// on an address, serves one connection at a time as a client session
// (listen_session.h), and refuses another program's connection meanwhile at
// once: its opens fail with error 170 (busy).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "listen_settings.h"
#include "sockets/socket.h"
#include "wire.h"

namespace engine_sim_cli {

class Listener {
 public:
  Listener(ListenSettings settings, std::ostream& out, std::ostream& err);
  // Closes and unloads the module of a kept session.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds ADDRESS:PORT (port 0: a free one); false with the reason.
  bool Listen(const std::string& address, std::string* error);
  // The bound address with its real port: "host:port", "[v6-host]:port".
  std::string BoundAddress() const;
  // The first line engine_sim prints: where it listens, whom it accepts.
  std::string Banner() const;
  // Serves connections until Stop, or after the first session with `once`.
  void Serve();
  // From any thread: Serve returns within a fraction of a second.
  void Stop() { stop_ = true; }

 private:
  // A connection that came while a session runs: its open request is
  // answered with error 170 (busy), then it is closed. It waits for that
  // request without holding up the session served.
  struct Refusal {
    vdqrn::sockets::Socket connection;
    vdqrn::wire::FrameReader reader;
    std::chrono::steady_clock::time_point until;
  };
  // A connection waiting to be accepted, refused while `serving` runs.
  void RefuseWaiting(int serving);
  // Looks at each refused connection without waiting: answers the open
  // requests that came, drops those that closed or waited too long.
  void ServeRefusals();

  ListenSettings settings_;
  std::ostream& out_;
  std::ostream& err_;
  vdqrn::sockets::Socket socket_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::unique_ptr<engine_sim::Engine> engine_;  // the client's, while a session lasts
  std::vector<Refusal> refusals_;
};

// The whole --listen mode for RunTool: listens, announces, writes the ready
// file, serves. An exit code of exit_codes.h.
int RunListener(const std::string& address, const std::string& readyFile,
                ListenSettings settings, std::ostream& out, std::ostream& err);

}  // namespace engine_sim_cli
