// The fuzz targets read their input front to back through a FuzzInput; past
// its end every byte reads as 0, so a short input is simply a shorter run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vdqrn {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return position_ >= size_; }
  std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  // Little-endian.
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | static_cast<std::uint32_t>(U16()) << 16;
  }
  // Up to count bytes, fewer when the input ends first.
  std::string Bytes(std::size_t count) {
    const std::size_t available = position_ < size_ ? size_ - position_ : 0;
    const std::size_t taken = count < available ? count : available;
    std::string bytes(reinterpret_cast<const char*>(data_ + position_), taken);
    position_ += taken;
    return bytes;
  }
  // Fills the bytes from the input as far as it goes, the rest with fill.
  void Fill(std::uint8_t* bytes, std::size_t count, std::uint8_t fill) {
    for (std::size_t i = 0; i < count; ++i) bytes[i] = AtEnd() ? fill : Byte();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace vdqrn
