#include "listener.h"

#include <chrono>
#include <fstream>

#include "exit_codes.h"
#include "listen_session.h"
#include "wire.h"

namespace engine_sim_cli {

namespace {

constexpr int kAcceptSliceMs = 200;
// How long a refused connection is given to send its open request.
constexpr int kRefusalWaitMs = 1000;
constexpr std::uint32_t kErrorBusy = 170;

}  // namespace

Listener::Listener(ListenSettings settings, std::ostream& out, std::ostream& err)
    : settings_(std::move(settings)), out_(out), err_(err) {}

Listener::~Listener() {
  if (!engine_) return;
  engine_->Close();
  engine_->Unload();
}

bool Listener::Listen(const std::string& address, std::string* error) {
  std::uint16_t port = 0;
  if (!vdqrn::sockets::SplitHostPort(address, &host_, &port)) {
    *error = "not of the form ADDRESS:PORT";
    return false;
  }
  vdqrn::sockets::SocketStatus status = vdqrn::sockets::SocketStatus::kFailed;
  socket_ = vdqrn::sockets::Socket::Listen(host_, port, &status, error);
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
    ServeRefusals();
    const int slice = refusals_.empty() ? kAcceptSliceMs : 20;
    vdqrn::sockets::Socket connection = socket_.Accept(slice, &peer, &loopback, &error);
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
    ListenSession session(settings_, engine_, std::move(connection), number, out_, err_);
    session.Run(stop_, [this, number] { RefuseWaiting(number); });
    out_ << "engine_sim: session " << number << " ended" << std::endl;
    if (settings_.once) break;
  }
}

void Listener::RefuseWaiting(int serving) {
  ServeRefusals();
  std::string peer;
  bool loopback = false;
  std::string error;
  vdqrn::sockets::Socket connection = socket_.Accept(0, &peer, &loopback, &error);
  if (!connection.IsOpen()) return;
  if (!loopback && !settings_.acceptRemote) {
    err_ << "engine_sim: refused a connection from " << peer
         << " (not this machine; --accept-remote accepts it)" << std::endl;
    return;
  }
  err_ << "engine_sim: refused a connection from " << peer << ": busy with session " << serving
       << " (one program at a time; its opens fail with error 170)" << std::endl;
  Refusal refusal;
  refusal.connection = std::move(connection);
  refusal.until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRefusalWaitMs);
  refusals_.push_back(std::move(refusal));
  ServeRefusals();
}

void Listener::ServeRefusals() {
  const auto now = std::chrono::steady_clock::now();
  for (auto refusal = refusals_.begin(); refusal != refusals_.end();) {
    bool done = now >= refusal->until;
    char buffer[1024];
    std::size_t count = 0;
    while (!done) {
      const auto received = refusal->connection.Receive(buffer, sizeof buffer, 0, &count);
      if (received == vdqrn::sockets::Socket::Received::kTimedOut) break;
      if (received == vdqrn::sockets::Socket::Received::kClosed) {
        done = true;
        break;
      }
      refusal->reader.Feed(buffer, count);
      vdqrn::wire::Message message;
      vdqrn::wire::FrameReader::Next next;
      while (!done && (next = refusal->reader.Take(&message)) ==
                          vdqrn::wire::FrameReader::Next::kMessage) {
        if (message.type != vdqrn::wire::MessageType::kOpenRequest) continue;
        const std::string frame =
            vdqrn::wire::Encode(vdqrn::wire::OpenAnswer(message.channel, kErrorBusy));
        refusal->connection.SendAll(frame.data(), frame.size());
        // The stand-in opens one channel at a time: its first refusal ends it.
        refusal->connection.Shutdown();
        done = true;
      }
      if (next == vdqrn::wire::FrameReader::Next::kBroken) done = true;
    }
    refusal = done ? refusals_.erase(refusal) : refusal + 1;
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
