#include "tar_archive.h"

#include <cstring>

namespace installation_check {

namespace {

constexpr std::size_t kBlock = 512;

// An octal number in a field of the header, zero-padded and NUL-terminated
// (the low digits when it does not fit: sizes here stay far below).
void Octal(char* field, std::size_t size, std::uint64_t value) {
  field[size - 1] = '\0';
  for (std::size_t i = size - 1; i > 0; --i) {
    field[i - 1] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
}

}  // namespace

bool TarArchive::Add(const std::string& name, const std::string& content, std::int64_t modified) {
  if (name.empty() || name.size() > 100) return false;
  char header[kBlock];
  std::memset(header, 0, sizeof header);
  std::memcpy(header, name.data(), name.size());
  Octal(header + 100, 8, 0644);
  Octal(header + 108, 8, 0);
  Octal(header + 116, 8, 0);
  Octal(header + 124, 12, content.size());
  Octal(header + 136, 12, modified > 0 ? static_cast<std::uint64_t>(modified) : 0);
  header[156] = '0';
  std::memcpy(header + 257, "ustar", 6);
  std::memcpy(header + 263, "00", 2);
  // The checksum counts its own field as blanks.
  std::memset(header + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char byte : header) sum += byte;
  Octal(header + 148, 7, sum);
  bytes_.append(header, sizeof header);
  bytes_ += content;
  bytes_.append((kBlock - content.size() % kBlock) % kBlock, '\0');
  return true;
}

std::string TarArchive::Finish() const { return bytes_ + std::string(2 * kBlock, '\0'); }

}  // namespace installation_check
