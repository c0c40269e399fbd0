// The private protocol between the module and the instrument host, the
// helper process that runs an instrument library of another architecture.
// Frames on a byte stream: a u32 payload length, then the payload. Every
// field is fixed-width little-endian; a text is a u32 length and its bytes,
// the length 0xFFFFFFFF standing for a null text. No pointers cross.
//
// Every payload starts with a u32 number: the module numbers its requests
// (1, 2, ...) and the host's reply carries its request's number. A reply
// with any other number (one that came late, or that no one asked for) ends
// the host: no answer is ever taken for another request's. What follows the
// number:
//
// Requests (module to host), by their first byte:
//   kLoad   text file           -> u8 1 when loaded (all 31 entry points), else 0;
//           (the absolute path       text why not (the loader's reason, or the
//           the module found the     missing entry point; empty when loaded)
//           library at)
//   kCalls  u16 count, then per call: u8 entry point index, its arguments
//           -> u16 calls done, their results in order, u8 outcome of the call
//              that stopped the list (kReturned when none did; kStandard is
//              followed by the exception's reason as a text)
//   kSeries i32 angle, u16 count: the calls GetSpectralData(angle, 0 ...
//           count-1), as one kCalls request of them would make them
//           -> as kCalls
//   kUnload                     -> u8 0
// The host makes the calls of one kCalls or kSeries request in order and
// stops at the first that does not return, as the module would in process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "instrument/entry_points.h"

namespace vdqrn::host_protocol {

enum Request : std::uint8_t { kLoad = 1, kCalls = 2, kUnload = 3, kSeries = 4 };

// How a call ended.
enum Outcome : std::uint8_t {
  kReturned = 0,
  kStandard = 1,    // an exception of the standard family; its reason follows
  kOther = 2,       // an exception of any other kind
  kCutShort = 3,    // what no runtime of the host could catch (platform::CallGuarded)
};

// The entry points by their place in the list.
enum EntryPointIndex : std::uint8_t {
#define VDQRN_ENTRY_POINT_INDEX(name, result, parameters, arguments) k##name,
  VDQRN_ENTRY_POINTS(VDQRN_ENTRY_POINT_INDEX)
#undef VDQRN_ENTRY_POINT_INDEX
};

// Largest payload either side accepts: a text result may be long, but not
// without bound.
constexpr std::uint32_t kMaxPayload = 64u * 1024 * 1024;

// Builds a payload field by field, behind room for the frame's length and
// number, so that sending it copies nothing.
class Writer {
 public:
  // Room for a usual request or reply, so that writing one never grows it.
  Writer() {
    bytes_.reserve(kUsualPayload);
    bytes_.resize(kFrameHead);
  }
  void U8(std::uint8_t value) { bytes_.push_back(value); }
  void U16(std::uint16_t value) {
    U8(static_cast<std::uint8_t>(value));
    U8(static_cast<std::uint8_t>(value >> 8));
  }
  void U32(std::uint32_t value) {
    U16(static_cast<std::uint16_t>(value));
    U16(static_cast<std::uint16_t>(value >> 16));
  }
  void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
  void Bool(bool value) { U8(value ? 1 : 0); }
  void Float(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    U32(bits);
  }
  void Text(const char* text);  // null stays null
  void Text(const std::string& text) { Text(text.c_str(), text.size()); }
  void Text(const char* text, std::size_t length);
  // The payload's bytes written so far, and a u16 written again in place
  // among them.
  std::size_t Size() const { return bytes_.size() - kFrameHead; }
  void U16At(std::size_t at, std::uint16_t value) {
    bytes_.at(kFrameHead + at) = static_cast<std::uint8_t>(value);
    bytes_.at(kFrameHead + at + 1) = static_cast<std::uint8_t>(value >> 8);
  }

  // The frame to send: the length, the request's number, the payload. Valid
  // until this writer changes.
  const std::vector<std::uint8_t>& NumberedFrame(std::uint32_t number);
  // Empty again, for the next payload: the room stays, unless a long text
  // made it large.
  void Clear() {
    if (bytes_.capacity() > kKeptRoom) {
      std::vector<std::uint8_t>().swap(bytes_);
      bytes_.reserve(kUsualPayload);
    }
    bytes_.resize(kFrameHead);
  }
  // The payload alone.
  std::vector<std::uint8_t> Bytes() const {
    return std::vector<std::uint8_t>(bytes_.begin() + kFrameHead, bytes_.end());
  }

 private:
  static constexpr std::size_t kFrameHead = 8;
  static constexpr std::size_t kUsualPayload = 512;
  static constexpr std::size_t kKeptRoom = 64 * 1024;
  std::vector<std::uint8_t> bytes_;
};

// Reads a payload field by field. A read past the end, or a field that is
// not what it must be, marks the reader failed; the values read then are
// zero or empty, and Ok() stays false: nothing of a bad payload is trusted.
class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size) : next_(bytes), end_(bytes + size) {}
  explicit Reader(const std::vector<std::uint8_t>& bytes) : Reader(bytes.data(), bytes.size()) {}
  // It reads the bytes where they are: never those of a temporary.
  explicit Reader(std::vector<std::uint8_t>&&) = delete;

  std::uint8_t U8() {
    if (!Has(1)) return 0;
    return *next_++;
  }
  std::uint16_t U16() {
    if (!Has(2)) return 0;
    const std::uint16_t value = static_cast<std::uint16_t>(next_[0] | (next_[1] << 8));
    next_ += 2;
    return value;
  }
  std::uint32_t U32() {
    if (!Has(4)) return 0;
    const std::uint32_t value =
        static_cast<std::uint32_t>(next_[0]) | static_cast<std::uint32_t>(next_[1]) << 8 |
        static_cast<std::uint32_t>(next_[2]) << 16 | static_cast<std::uint32_t>(next_[3]) << 24;
    next_ += 4;
    return value;
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  bool Bool();  // only 0 and 1 are booleans
  float Float() {
    const std::uint32_t bits = U32();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return ok_ ? value : 0.0f;
  }
  // A text; `null` tells a null text from an empty one.
  std::string Text(bool* null);

  bool Ok() const { return ok_; }
  bool AtEnd() const { return next_ == end_; }
  // Ok and nothing left over.
  bool Done() const { return ok_ && AtEnd(); }

 private:
  // Whether `count` more bytes are there to read; marks the reader failed
  // when not.
  bool Has(std::ptrdiff_t count) {
    if (ok_ && end_ - next_ >= count) return true;
    ok_ = false;
    return false;
  }

  const std::uint8_t* next_;
  const std::uint8_t* end_;
  bool ok_ = true;
};

// Values as the entry points take and return them.
inline void Put(Writer& out, bool value) { out.Bool(value); }
inline void Put(Writer& out, int value) { out.I32(value); }
inline void Put(Writer& out, std::uint16_t value) { out.U16(value); }
inline void Put(Writer& out, float value) { out.Float(value); }
inline void Put(Writer& out, const char* value) { out.Text(value); }

// Values read back, by their type.
inline void Take(Reader& in, bool* value) { *value = in.Bool(); }
inline void Take(Reader& in, int* value) { *value = in.I32(); }
inline void Take(Reader& in, std::uint16_t* value) { *value = in.U16(); }
inline void Take(Reader& in, float* value) { *value = in.Float(); }

// A value read back, held until it is used: Read, then Get.
template <typename T>
struct Decoded {
  T value{};
  void Read(Reader& in) { Take(in, &value); }
  T Get() const { return value; }
};
// A text keeps its bytes and tells null from empty.
template <>
struct Decoded<const char*> {
  std::string text;
  bool null = false;
  void Read(Reader& in) { text = in.Text(&null); }
  // Valid while this object lives.
  const char* Get() const { return null ? nullptr : text.c_str(); }
};

// A frame's payload length from its first four bytes; false when it is
// larger than kMaxPayload.
bool PayloadLength(const std::uint8_t header[4], std::uint32_t* length);

// Splits a numbered payload into its number and the rest; false when it is
// too short to hold a number.
bool TakeNumber(std::vector<std::uint8_t>* payload, std::uint32_t* number);

// Gathers the bytes that arrive on the channel and cuts whole frames from
// them, so that a frame usually takes one read, however it was cut.
class FrameReader {
 public:
  enum Result { kFrame, kNeedMore, kTooLong };
  void Append(const std::uint8_t* bytes, std::size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
  }
  // The next whole frame's payload, when there is one.
  Result Take(std::vector<std::uint8_t>* payload);
  // Whether bytes of a next frame are waiting.
  bool HasMore() const { return !buffer_.empty(); }

 private:
  std::vector<std::uint8_t> buffer_;
};

}  // namespace vdqrn::host_protocol
