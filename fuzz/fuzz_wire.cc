// The channel stand-in's wire messages, fed any bytes: parsing never reads
// outside the bytes, and every message it takes out encodes to the frame it
// came from, so that the two ends agree on what a stream holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const vdqrn::wire::ParsedFrames parsed = vdqrn::wire::ParseFrames(bytes);
  std::size_t offset = 0;
  for (const vdqrn::wire::Message& message : parsed.messages) {
    const std::string frame = vdqrn::wire::Encode(message);
    if (frame.empty() || bytes.compare(offset, frame.size(), frame) != 0) std::abort();
    offset += frame.size();
  }
  return 0;
}
