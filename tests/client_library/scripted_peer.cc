#include "scripted_peer.h"

#include <algorithm>

#include "wire.h"

namespace qrnclient_test {

namespace sockets = vdqrn::sockets;
namespace wire = vdqrn::wire;

std::vector<TimedPacket> UnknownCommand(const std::string& command) {
  return {{std::chrono::milliseconds(0),
           "ERROR|Unknown command \"" + command.substr(0, command.find('|')) + "\""}};
}

ScriptedPeer::ScriptedPeer(Script script, WhileRunning whileRunning)
    : script_(std::move(script)), whileRunning_(whileRunning) {
  sockets::SocketStatus status = sockets::SocketStatus::kFailed;
  std::string error;
  listening_ = sockets::Socket::Listen("127.0.0.1", 0, &status, &error);
  port_ = listening_.LocalPort();
  server_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  queued_.notify_all();
  server_.join();
}

std::string ScriptedPeer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ScriptedPeer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

long long ScriptedPeer::Sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

void ScriptedPeer::Serve() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    std::string peer;
    bool loopback = false;
    std::string error;
    sockets::Socket connection = listening_.Accept(100, &peer, &loopback, &error);
    if (connection.IsOpen()) Converse(connection);
  }
}

void ScriptedPeer::SendLoop(sockets::Socket* connection) {
  auto lastSent = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stop_ || connectionOver_ || !outgoing_.empty(); });
    if (stop_ || connectionOver_) return;
    Outgoing next = outgoing_.front();
    outgoing_.pop_front();
    const auto due = std::max(next.notBefore, lastSent) + next.delay;
    // A wait that is due already is not waited for: under wine each costs
    // a timer's tick, and a flood of distinct packets would crawl.
    const auto over = [this] { return stop_ || connectionOver_; };
    if (due > std::chrono::steady_clock::now() ? queued_.wait_until(lock, due, over) : over()) {
      return;
    }
    const std::string frame = wire::Encode(
        wire::Data(next.onCommandChannel ? commandChannel_ : dataChannel_, next.bytes));
    lock.unlock();
    bool open = true;
    for (int time = 0; time < next.times && open; ++time) {
      open = connection->SendAll(frame.data(), frame.size());
      if (time % 256 == 255 || time + 1 == next.times) {
        std::lock_guard<std::mutex> counting(mutex_);
        sent_ += time % 256 + 1;
        open = open && !stop_ && !connectionOver_;
      }
    }
    lastSent = std::chrono::steady_clock::now();
    lock.lock();
  }
}

void ScriptedPeer::Converse(sockets::Socket& connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connectionOver_ = false;
    outgoing_.clear();
    runningUntil_ = std::chrono::steady_clock::now();
  }
  std::thread sender([&] { SendLoop(&connection); });
  wire::FrameReader reader;
  char buffer[8192];
  bool going = true;
  while (going) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) break;
    }
    std::size_t count = 0;
    const auto received = connection.Receive(buffer, sizeof buffer, 100, &count);
    if (received == sockets::Socket::Received::kTimedOut) continue;
    if (received == sockets::Socket::Received::kClosed) break;
    reader.Feed(buffer, count);
    wire::Message message;
    wire::FrameReader::Next next;
    while ((next = reader.Take(&message)) == wire::FrameReader::Next::kMessage) {
      if (message.type == wire::MessageType::kOpenRequest) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (message.name == "QrnDta1") dataChannel_ = message.channel;
          if (message.name == "QrnCmd1") commandChannel_ = message.channel;
        }
        const std::string frame = wire::Encode(wire::OpenAnswer(message.channel, 0));
        connection.SendAll(frame.data(), frame.size());
      } else if (message.type == wire::MessageType::kData) {
        const auto now = std::chrono::steady_clock::now();
        bool running = false;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          running = whileRunning_ != WhileRunning::kScripted && now < runningUntil_;
        }
        std::vector<TimedPacket> packets;
        if (!running) packets = script_(message.data);
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(message.data);
        if (!running) {
          runningUntil_ = std::max(now, runningUntil_);
          for (const TimedPacket& packet : packets) runningUntil_ += packet.delay;
        } else if (whileRunning_ == WhileRunning::kBusyAfter) {
          packets = {{std::chrono::milliseconds(0),
                      "ERROR|Command \"" + message.data.substr(0, message.data.find('|')) +
                          "\" refused, another command is still running"}};
        }
        for (const TimedPacket& packet : packets) {
          outgoing_.push_back(
              {now, packet.delay, packet.bytes, packet.times, packet.onCommandChannel});
        }
        queued_.notify_all();
      }
    }
    going = next != wire::FrameReader::Next::kBroken;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connectionOver_ = true;
  }
  queued_.notify_all();
  sender.join();
  connection.Close();
}

}  // namespace qrnclient_test
