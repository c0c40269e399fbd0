#include "listener.h"

#include <fstream>

#include "exit_codes.h"
#include "listen_session.h"

namespace engine_sim_cli {

namespace {

constexpr int kAcceptSliceMs = 200;

}  // namespace

Listener::Listener(ListenSettings settings, std::ostream& out, std::ostream& err)
    : settings_(std::move(settings)), out_(out), err_(err) {}

bool Listener::Listen(const std::string& address, std::string* error) {
  std::uint16_t port = 0;
  if (!vdqrn::platform::SplitHostPort(address, &host_, &port)) {
    *error = "not of the form ADDRESS:PORT";
    return false;
  }
  vdqrn::platform::SocketStatus status = vdqrn::platform::SocketStatus::kFailed;
  socket_ = vdqrn::platform::Socket::Listen(host_, port, &status, error);
  if (!socket_.IsOpen()) return false;
  port_ = socket_.LocalPort();
  return true;
}

std::string Listener::BoundAddress() const {
  const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return host + ":" + std::to_string(port_);
}

std::string Listener::Banner() const {
  return "engine_sim: listening on " + BoundAddress() +
         (settings_.acceptRemote
              ? ", accepting connections from any machine"
              : ", accepting connections from this machine only (--accept-remote for others)");
}

void Listener::Serve() {
  int sessions = 0;
  while (!stop_) {
    std::string peer;
    bool loopback = false;
    std::string error;
    vdqrn::platform::Socket connection = socket_.Accept(kAcceptSliceMs, &peer, &loopback, &error);
    if (!connection.IsOpen()) {
      if (!error.empty()) err_ << "engine_sim: accepting a connection failed: " << error << std::endl;
      continue;
    }
    if (!loopback && !settings_.acceptRemote) {
      err_ << "engine_sim: refused a connection from " << peer
           << " (not this machine; --accept-remote accepts it)" << std::endl;
      continue;  // closed as it goes out of scope
    }
    const int number = ++sessions;
    out_ << "engine_sim: session " << number << " from " << peer << " started" << std::endl;
    ListenSession session(settings_, std::move(connection), number, out_, err_);
    session.Run(stop_);
    out_ << "engine_sim: session " << number << " ended" << std::endl;
    if (settings_.once) break;
  }
}

int RunListener(const std::string& address, const std::string& readyFile,
                ListenSettings settings, std::ostream& out, std::ostream& err) {
  Listener listener(std::move(settings), out, err);
  std::string error;
  if (!listener.Listen(address, &error)) {
    err << "engine_sim: cannot listen on " << address << ": " << error << std::endl;
    return kExitListen;
  }
  out << listener.Banner() << std::endl;
  if (!readyFile.empty()) {
    std::ofstream ready(readyFile, std::ios::binary | std::ios::trunc);
    ready << listener.BoundAddress() << "\n";
    ready.close();
    if (!ready) {
      err << "engine_sim: cannot write the ready file \"" << readyFile << "\"" << std::endl;
      return kExitReadyFile;
    }
  }
  listener.Serve();
  return kExitOk;
}

}  // namespace engine_sim_cli
