// The process's open channel handles and the one connection they share. The
// connection is made at the first open and ended when the last handle
// closes: for engine_sim, that is one client session.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "connection.h"
#include "packet_queue.h"

namespace vdqrn {
namespace standin {

class ChannelTable {
 public:
  struct Channel {
    std::shared_ptr<Connection> connection;
    std::uint32_t id;
    std::shared_ptr<PacketQueue> queue;
  };

  // The process's table; it is never destroyed, so that a host that exits
  // with channels open does not wait for a reader thread at exit.
  static ChannelTable& Instance();

  // A handle for the channel, or null with a Windows error number.
  void* Open(const std::string& name, std::uint32_t* error);
  // The channel behind a handle; null when the handle is not open.
  std::shared_ptr<Channel> Find(void* handle) const;
  bool Close(void* handle);

 private:
  ChannelTable() = default;

  std::mutex openMutex_;  // one open at a time, the connection made by it
  mutable std::mutex mutex_;
  std::shared_ptr<Connection> connection_;
  std::map<std::uintptr_t, std::shared_ptr<Channel>> channels_;
  std::uint32_t nextId_ = 1;
};

}  // namespace standin
}  // namespace vdqrn
