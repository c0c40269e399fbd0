// The architecture check of an instrument library file, fed any bytes as the
// file's first bytes: it answers an architecture or "unknown" and never reads
// outside them (the remote side chooses the file).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vdqrn::platform::ArchitectureFromHeader;
  // A buffer of exactly the input's size, so that AddressSanitizer sees any
  // read past it.
  const std::size_t length = size < vdqrn::platform::kHeaderBytes ? size : vdqrn::platform::kHeaderBytes;
  std::unique_ptr<unsigned char[]> head(new unsigned char[length == 0 ? 1 : length]);
  if (length > 0) std::memcpy(head.get(), data, length);
  (void)ArchitectureFromHeader(head.get(), length);
  return 0;
}
