// The packets received on one channel handle and not read yet: filled by the
// connection's reader thread, emptied by the host's reads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace vdqrn {
namespace standin {

class PacketQueue {
 public:
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

  enum class Taken {
    kPacket,    // the next packet, in *packet
    kTooSmall,  // the next packet did not fit: it was dropped
    kTimedOut,
    kBroken,    // the connection is gone and nothing is left to read
    kClosed,    // the handle was closed meanwhile
  };

  void Push(std::string packet);
  Taken Take(std::size_t capacity, std::uint32_t timeoutMs, std::string* packet);
  void Purge();
  // Wakes every reader; packets already queued can still be read.
  void Break();
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> packets_;
  bool broken_ = false;
  bool closed_ = false;
};

}  // namespace standin
}  // namespace vdqrn
