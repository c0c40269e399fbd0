// The stand-in's TCP connection to engine_sim --listen: open requests and
// their answers, packets in both directions. A reader thread hands each
// received packet to its channel's queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "packet_queue.h"
#include "sockets/socket.h"

namespace vdqrn {
namespace standin {

class Connection {
 public:
  // Connects to "host:port"; null with a Windows error number otherwise.
  static std::unique_ptr<Connection> Connect(const std::string& address, std::uint32_t* error);
  ~Connection();  // ends the connection and waits for the reader thread
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Asks the client to open the channel under the id; 0 when it did (packets
  // for the id then go to the queue), otherwise the Windows error number.
  std::uint32_t Open(std::uint32_t id, const std::string& name, const std::string& programPath,
                     std::shared_ptr<PacketQueue> queue);
  // Sends the bytes as packets of at most 4996 bytes; false when the
  // connection is gone.
  bool Send(std::uint32_t id, const char* bytes, std::size_t count);
  // Tells the client the channel closed; its packets are dropped from now on.
  void CloseChannel(std::uint32_t id);
  bool Broken() const;

 private:
  explicit Connection(sockets::Socket socket);
  void ReadLoop();
  void Break();
  bool SendFrame(const std::string& frame);

  sockets::Socket socket_;
  std::mutex sendMutex_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::uint32_t, std::shared_ptr<PacketQueue>> queues_;
  // The ids whose open waits for its answer, and the answers come for them:
  // an answer for any other id is dropped, so a client that sends answers
  // nobody asked for costs nothing.
  std::set<std::uint32_t> opening_;
  std::map<std::uint32_t, std::uint32_t> answers_;
  bool broken_ = false;
  std::thread reader_;
};

}  // namespace standin
}  // namespace vdqrn
