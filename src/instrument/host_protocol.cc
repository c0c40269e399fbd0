#include "instrument/host_protocol.h"

#include <cstring>

namespace vdqrn::host_protocol {

namespace {

constexpr std::uint32_t kNullText = 0xFFFFFFFFu;

}  // namespace

void Writer::Text(const char* text) {
  if (text == nullptr) {
    U32(kNullText);
    return;
  }
  Text(text, std::strlen(text));
}

void Writer::Text(const char* text, std::size_t length) {
  U32(static_cast<std::uint32_t>(length));
  bytes_.insert(bytes_.end(), text, text + length);
}

const std::vector<std::uint8_t>& Writer::NumberedFrame(std::uint32_t number) {
  const std::uint32_t head[2] = {static_cast<std::uint32_t>(bytes_.size() - 4), number};
  for (int field = 0; field < 2; ++field) {
    for (int index = 0; index < 4; ++index) {
      bytes_[4 * field + index] = static_cast<std::uint8_t>(head[field] >> (8 * index));
    }
  }
  return bytes_;
}

bool TakeNumber(std::vector<std::uint8_t>* payload, std::uint32_t* number) {
  Reader in(*payload);
  *number = in.U32();
  if (!in.Ok()) return false;
  payload->erase(payload->begin(), payload->begin() + 4);
  return true;
}

bool Reader::Bool() {
  const std::uint8_t value = U8();
  if (value > 1) ok_ = false;
  return ok_ && value == 1;
}

std::string Reader::Text(bool* null) {
  *null = false;
  const std::uint32_t length = U32();
  if (!ok_) return std::string();
  if (length == kNullText) {
    *null = true;
    return std::string();
  }
  if (length > static_cast<std::size_t>(end_ - next_)) {
    ok_ = false;
    return std::string();
  }
  std::string text(reinterpret_cast<const char*>(next_), length);
  next_ += length;
  return text;
}

bool PayloadLength(const std::uint8_t header[4], std::uint32_t* length) {
  *length = static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
            static_cast<std::uint32_t>(header[2]) << 16 |
            static_cast<std::uint32_t>(header[3]) << 24;
  return *length <= kMaxPayload;
}

FrameReader::Result FrameReader::Take(std::vector<std::uint8_t>* payload) {
  if (buffer_.size() < 4) return kNeedMore;
  std::uint32_t length = 0;
  if (!PayloadLength(buffer_.data(), &length)) return kTooLong;
  if (buffer_.size() - 4 < length) return kNeedMore;
  payload->assign(buffer_.begin() + 4, buffer_.begin() + 4 + length);
  buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + length);
  return kFrame;
}

}  // namespace vdqrn::host_protocol
