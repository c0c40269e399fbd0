// The packets received on one channel handle and not read yet: filled by the
// connection's reader thread, emptied by the host's reads. Bounded, so that a
// client that sends without end, or a channel the host never reads, costs
// the host a few megabytes at most: when full, the oldest packets are
// dropped, the newest kept (the platform's reads have no way to say so; to
// the host they are lost, as a packet read with too small a buffer is).
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
  // What a handle holds unread at most: far more than the longest answer
  // a host waits for (a response of 16 MiB is 3358 packets).
  static constexpr std::size_t kMaxBytes = 16u << 20;
  static constexpr std::size_t kMaxPackets = 8192;

  enum class Taken {
    kPacket,    // the next packet, in *packet
    kTooSmall,  // the next packet did not fit: it was dropped
    kTimedOut,
    kBroken,    // the connection is gone and nothing is left to read
    kClosed,    // the handle was closed meanwhile
  };

  // Queues the packet, dropping the oldest ones while over the bounds.
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
  std::size_t bytes_ = 0;  // in packets_
  bool broken_ = false;
  bool closed_ = false;
};

}  // namespace standin
}  // namespace vdqrn
