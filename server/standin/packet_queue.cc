#include "packet_queue.h"

#include <chrono>

namespace vdqrn {
namespace standin {

void PacketQueue::Push(std::string packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += packet.size();
    packets_.push_back(std::move(packet));
    while (bytes_ > kMaxBytes || packets_.size() > kMaxPackets) {
      bytes_ -= packets_.front().size();
      packets_.pop_front();
    }
  }
  arrived_.notify_all();
}

PacketQueue::Taken PacketQueue::Take(std::size_t capacity, std::uint32_t timeoutMs,
                                     std::string* packet) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [this] { return closed_ || broken_ || !packets_.empty(); };
  if (timeoutMs == kWaitForever) {
    arrived_.wait(lock, ready);
  } else {
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }
  if (closed_) return Taken::kClosed;
  if (packets_.empty()) return broken_ ? Taken::kBroken : Taken::kTimedOut;
  std::string next = std::move(packets_.front());
  packets_.pop_front();
  bytes_ -= next.size();
  if (next.size() > capacity) return Taken::kTooSmall;
  *packet = std::move(next);
  return Taken::kPacket;
}

void PacketQueue::Purge() {
  std::lock_guard<std::mutex> lock(mutex_);
  packets_.clear();
  bytes_ = 0;
}

void PacketQueue::Break() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    broken_ = true;
  }
  arrived_.notify_all();
}

void PacketQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  arrived_.notify_all();
}

}  // namespace standin
}  // namespace vdqrn
