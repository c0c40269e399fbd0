#include "channel_table.h"

#include "error_numbers.h"
#include "platform/caller.h"

namespace vdqrn {
namespace standin {

namespace {

constexpr char kAddressVariable[] = "QRN_STANDIN_ADDRESS";
constexpr char kDefaultAddress[] = "127.0.0.1:47120";

// Handles are numbers that never come back within a process, so a stale
// handle is never taken for a newer channel.
std::uintptr_t HandleValue(std::uint32_t id) { return 0x10000u + std::uintptr_t{id} * 4u; }

}  // namespace

ChannelTable& ChannelTable::Instance() {
  static ChannelTable* const table = new ChannelTable();
  return *table;
}

void* ChannelTable::Open(const std::string& name, std::uint32_t* error) {
  std::lock_guard<std::mutex> opening(openMutex_);
  std::shared_ptr<Connection> connection;
  std::uint32_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = connection_;
    id = nextId_++;
  }
  const bool fresh = !connection || connection->Broken();
  if (fresh) {
    std::string address = platform::EnvironmentValue(kAddressVariable);
    if (address.empty()) address = kDefaultAddress;
    connection = Connection::Connect(address, error);
    if (!connection) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = connection;
  }
  auto channel = std::make_shared<Channel>();
  channel->connection = connection;
  channel->id = id;
  channel->queue = std::make_shared<PacketQueue>();
  *error = connection->Open(id, name, platform::CallerProgramPath(), channel->queue);
  // engine_sim closes a connection it does not accept (another machine's)
  // before answering anything.
  if (fresh && *error == kErrorBrokenPipe) *error = kErrorConnectionRefused;
  std::lock_guard<std::mutex> lock(mutex_);
  if (*error != 0) {
    // A connection made for this open alone ends with it.
    bool used = false;
    for (const auto& entry : channels_) used = used || entry.second->connection == connection_;
    if (!used) connection_.reset();
    return nullptr;
  }
  // A close on another thread may have let go of the connection meanwhile.
  if (!connection_) connection_ = connection;
  channels_[HandleValue(id)] = channel;
  return reinterpret_cast<void*>(HandleValue(id));
}

std::shared_ptr<ChannelTable::Channel> ChannelTable::Find(void* handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = channels_.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == channels_.end() ? nullptr : found->second;
}

bool ChannelTable::Close(void* handle) {
  std::shared_ptr<Channel> channel;
  std::shared_ptr<Connection> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = channels_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == channels_.end()) return false;
    channel = found->second;
    channels_.erase(found);
    bool used = false;
    for (const auto& entry : channels_) used = used || entry.second->connection == connection_;
    if (!used) ended = std::move(connection_);
  }
  channel->queue->Close();
  channel->connection->CloseChannel(channel->id);
  // The connection ends when the last holder lets go (here, or a read that
  // is still returning).
  return true;
}

}  // namespace standin
}  // namespace vdqrn
