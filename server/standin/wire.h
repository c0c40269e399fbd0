// The messages between the channel stand-in (the server side) and engine_sim
// --listen (the client side), framed for a TCP stream:
//   frame = type (1 byte) | body length (4 bytes, little-endian) | body
// with the bodies, numbers little-endian:
//   1 open request  channel id (4) | name length (1) | name | program path (rest)
//   2 open answer   channel id (4) | Windows error number, 0 for success (4)
//   3 data          channel id (4) | 0 to 4996 bytes, one packet
//   4 close         channel id (4)
// The stand-in picks the channel ids. A frame of another type, or a body that
// does not fit its type, breaks the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vdqrn {
namespace wire {

constexpr std::size_t kMaxPacketData = 4996;
constexpr std::size_t kMaxNameLength = 64;
constexpr std::size_t kMaxPathLength = 32768;
constexpr std::size_t kHeaderSize = 5;

enum class MessageType : std::uint8_t {
  kOpenRequest = 1,
  kOpenAnswer = 2,
  kData = 3,
  kClose = 4,
};

struct Message {
  MessageType type = MessageType::kData;
  std::uint32_t channel = 0;
  std::uint32_t error = 0;  // open answer
  std::string name;         // open request: the channel name
  std::string path;         // open request: the calling program's full path
  std::string data;         // data: one packet

  bool operator==(const Message& other) const {
    return type == other.type && channel == other.channel && error == other.error &&
           name == other.name && path == other.path && data == other.data;
  }
};

Message OpenRequest(std::uint32_t channel, const std::string& name, const std::string& path);
Message OpenAnswer(std::uint32_t channel, std::uint32_t error);
Message Data(std::uint32_t channel, const std::string& bytes);
Message Close(std::uint32_t channel);

// The message's frame; empty when the message breaks a limit above (a name,
// path or packet too long).
std::string Encode(const Message& message);

// Takes a stream's bytes as they arrive and hands out whole messages.
class FrameReader {
 public:
  enum class Next { kMessage, kNeedMore, kBroken };

  void Feed(const char* bytes, std::size_t count);
  // The next whole message. kBroken stays for good once a frame was bad; the
  // reason is in Error().
  Next Take(Message* message);
  const std::string& Error() const { return error_; }

 private:
  Next Fail(const std::string& reason);

  std::string buffer_;
  std::size_t offset_ = 0;
  bool broken_ = false;
  std::string error_;
};

// Every message in the bytes, for the fuzzer and the tests: parsing stops at
// the first bad frame (broken) or at an incomplete one (incomplete).
struct ParsedFrames {
  std::vector<Message> messages;
  bool broken = false;
  bool incomplete = false;
  std::string error;
};
ParsedFrames ParseFrames(const std::string& bytes);

}  // namespace wire
}  // namespace vdqrn
