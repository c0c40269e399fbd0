#include "connection.h"

#include <algorithm>
#include <chrono>

#include "error_numbers.h"
#include "wire.h"

namespace vdqrn {
namespace standin {

namespace {

constexpr int kConnectTimeoutMs = 5000;
// engine_sim answers an open at once; this only guards against a peer that
// never answers.
constexpr auto kOpenAnswerTimeout = std::chrono::seconds(10);

}  // namespace

std::unique_ptr<Connection> Connection::Connect(const std::string& address, std::uint32_t* error) {
  std::string host;
  std::uint16_t port = 0;
  if (!sockets::SplitHostPort(address, &host, &port)) {
    *error = kErrorInvalidParameter;
    return nullptr;
  }
  sockets::SocketStatus status = sockets::SocketStatus::kFailed;
  std::string reason;
  sockets::Socket socket = sockets::Socket::Connect(host, port, kConnectTimeoutMs, &status,
                                                      &reason);
  if (!socket.IsOpen()) {
    *error = status == sockets::SocketStatus::kTimedOut ? kErrorSemTimeout
                                                         : kErrorConnectionRefused;
    return nullptr;
  }
  *error = 0;
  return std::unique_ptr<Connection>(new Connection(std::move(socket)));
}

Connection::Connection(sockets::Socket socket) : socket_(std::move(socket)) {
  reader_ = std::thread([this] { ReadLoop(); });
}

Connection::~Connection() {
  socket_.Shutdown();
  if (reader_.joinable()) reader_.join();
  socket_.Close();
}

bool Connection::Broken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return broken_;
}

bool Connection::SendFrame(const std::string& frame) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  return socket_.SendAll(frame.data(), frame.size());
}

std::uint32_t Connection::Open(std::uint32_t id, const std::string& name,
                               const std::string& programPath, std::shared_ptr<PacketQueue> queue) {
  const std::string frame = wire::Encode(wire::OpenRequest(id, name, programPath));
  if (frame.empty()) return kErrorInvalidParameter;  // a path longer than the wire carries
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_) return kErrorBrokenPipe;
    // Registered first: packets may follow the answer at once.
    queues_[id] = std::move(queue);
    opening_.insert(id);
  }
  const bool sent = SendFrame(frame);
  if (!sent) Break();
  std::unique_lock<std::mutex> lock(mutex_);
  const bool answered = answered_.wait_for(lock, kOpenAnswerTimeout, [this, id] {
    return broken_ || answers_.count(id) != 0;
  });
  opening_.erase(id);
  std::uint32_t error = kErrorSemTimeout;
  if (answers_.count(id) != 0) {
    error = answers_[id];
    answers_.erase(id);
  } else if (answered) {
    error = kErrorBrokenPipe;
  }
  if (error != 0) queues_.erase(id);
  return error;
}

bool Connection::Send(std::uint32_t id, const char* bytes, std::size_t count) {
  if (Broken()) return false;
  std::size_t offset = 0;
  do {
    const std::size_t size = std::min(count - offset, wire::kMaxPacketData);
    if (!SendFrame(wire::Encode(wire::Data(id, std::string(bytes + offset, size))))) {
      Break();
      return false;
    }
    offset += size;
  } while (offset < count);
  return true;
}

void Connection::CloseChannel(std::uint32_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(id);
    if (broken_) return;
  }
  SendFrame(wire::Encode(wire::Close(id)));
}

void Connection::Break() {
  std::map<std::uint32_t, std::shared_ptr<PacketQueue>> queues;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    broken_ = true;
    queues = queues_;
  }
  answered_.notify_all();
  for (auto& entry : queues) entry.second->Break();
}

void Connection::ReadLoop() {
  wire::FrameReader reader;
  char buffer[8192];
  while (true) {
    std::size_t count = 0;
    if (socket_.Receive(buffer, sizeof buffer, -1, &count) != sockets::Socket::Received::kData) {
      break;
    }
    reader.Feed(buffer, count);
    wire::Message message;
    wire::FrameReader::Next next;
    while ((next = reader.Take(&message)) == wire::FrameReader::Next::kMessage) {
      std::shared_ptr<PacketQueue> queue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (message.type == wire::MessageType::kOpenAnswer) {
          if (opening_.count(message.channel) != 0) answers_[message.channel] = message.error;
        } else if (message.type == wire::MessageType::kData) {
          const auto found = queues_.find(message.channel);
          if (found != queues_.end()) queue = found->second;
        } else {
          next = wire::FrameReader::Next::kBroken;  // the client sends nothing else
          break;
        }
      }
      if (message.type == wire::MessageType::kOpenAnswer) answered_.notify_all();
      if (queue) queue->Push(std::move(message.data));
    }
    if (next == wire::FrameReader::Next::kBroken) break;
  }
  Break();
}

}  // namespace standin
}  // namespace vdqrn
