#include "wire.h"

namespace vdqrn {
namespace wire {

namespace {

constexpr std::size_t kIdSize = 4;

void PutNumber(std::string* out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out->push_back(static_cast<char>((value >> shift) & 0xFFu));
  }
}

std::uint32_t GetNumber(const char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
  }
  return value;
}

// The largest body a type may have; 0 for an unknown type.
std::size_t MaximumBody(std::uint8_t type) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::kOpenRequest: return kIdSize + 1 + kMaxNameLength + kMaxPathLength;
    case MessageType::kOpenAnswer: return kIdSize + 4;
    case MessageType::kData: return kIdSize + kMaxPacketData;
    case MessageType::kClose: return kIdSize;
  }
  return 0;
}

}  // namespace

Message OpenRequest(std::uint32_t channel, const std::string& name, const std::string& path) {
  Message message;
  message.type = MessageType::kOpenRequest;
  message.channel = channel;
  message.name = name;
  message.path = path;
  return message;
}

Message OpenAnswer(std::uint32_t channel, std::uint32_t error) {
  Message message;
  message.type = MessageType::kOpenAnswer;
  message.channel = channel;
  message.error = error;
  return message;
}

Message Data(std::uint32_t channel, const std::string& bytes) {
  Message message;
  message.type = MessageType::kData;
  message.channel = channel;
  message.data = bytes;
  return message;
}

Message Close(std::uint32_t channel) {
  Message message;
  message.type = MessageType::kClose;
  message.channel = channel;
  return message;
}

std::string Encode(const Message& message) {
  std::string body;
  PutNumber(&body, message.channel);
  switch (message.type) {
    case MessageType::kOpenRequest:
      if (message.name.size() > kMaxNameLength || message.path.size() > kMaxPathLength) return {};
      body.push_back(static_cast<char>(message.name.size()));
      body += message.name;
      body += message.path;
      break;
    case MessageType::kOpenAnswer:
      PutNumber(&body, message.error);
      break;
    case MessageType::kData:
      if (message.data.size() > kMaxPacketData) return {};
      body += message.data;
      break;
    case MessageType::kClose:
      break;
    default:
      return {};
  }
  std::string frame;
  frame.push_back(static_cast<char>(message.type));
  PutNumber(&frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

void FrameReader::Feed(const char* bytes, std::size_t count) {
  if (broken_) return;
  // Drop what was taken already before the buffer grows.
  if (offset_ > 0 && offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 65536) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes, count);
}

FrameReader::Next FrameReader::Fail(const std::string& reason) {
  broken_ = true;
  error_ = reason;
  buffer_.clear();
  offset_ = 0;
  return Next::kBroken;
}

FrameReader::Next FrameReader::Take(Message* message) {
  if (broken_) return Next::kBroken;
  const std::size_t available = buffer_.size() - offset_;
  if (available < 1) return Next::kNeedMore;
  const char* frame = buffer_.data() + offset_;
  const std::uint8_t type = static_cast<std::uint8_t>(frame[0]);
  const std::size_t maximum = MaximumBody(type);
  if (maximum == 0) return Fail("unknown message type " + std::to_string(type));
  if (available < kHeaderSize) return Next::kNeedMore;
  const std::uint32_t length = GetNumber(frame + 1);
  if (length > maximum || length < kIdSize) {
    return Fail("message of type " + std::to_string(type) + " with a body of " +
                std::to_string(length) + " bytes");
  }
  if (available - kHeaderSize < length) return Next::kNeedMore;

  const char* body = frame + kHeaderSize;
  Message result;
  result.type = static_cast<MessageType>(type);
  result.channel = GetNumber(body);
  const char* rest = body + kIdSize;
  const std::size_t restLength = length - kIdSize;
  switch (result.type) {
    case MessageType::kOpenRequest: {
      if (restLength < 1) return Fail("open request without a name length");
      const std::size_t nameLength = static_cast<std::uint8_t>(rest[0]);
      if (nameLength > kMaxNameLength || nameLength > restLength - 1) {
        return Fail("open request whose name does not fit");
      }
      if (restLength - 1 - nameLength > kMaxPathLength) return Fail("open request path too long");
      result.name.assign(rest + 1, nameLength);
      result.path.assign(rest + 1 + nameLength, restLength - 1 - nameLength);
      break;
    }
    case MessageType::kOpenAnswer:
      if (restLength != 4) return Fail("open answer of the wrong size");
      result.error = GetNumber(rest);
      break;
    case MessageType::kData:
      result.data.assign(rest, restLength);
      break;
    case MessageType::kClose:
      if (restLength != 0) return Fail("close of the wrong size");
      break;
  }
  offset_ += kHeaderSize + length;
  *message = std::move(result);
  return Next::kMessage;
}

ParsedFrames ParseFrames(const std::string& bytes) {
  ParsedFrames parsed;
  FrameReader reader;
  reader.Feed(bytes.data(), bytes.size());
  Message message;
  while (true) {
    const FrameReader::Next next = reader.Take(&message);
    if (next == FrameReader::Next::kMessage) {
      parsed.messages.push_back(message);
    } else {
      parsed.broken = next == FrameReader::Next::kBroken;
      parsed.error = reader.Error();
      break;
    }
  }
  // A clean end has consumed every byte.
  if (!parsed.broken) {
    std::size_t used = 0;
    for (const Message& taken : parsed.messages) used += Encode(taken).size();
    parsed.incomplete = used < bytes.size();
  }
  return parsed;
}

}  // namespace wire
}  // namespace vdqrn
