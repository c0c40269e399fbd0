// The module's decoder of the instrument host's replies, fed any bytes: a
// reply to one call of each result type, or to the series of 31
// GetSpectralData calls. Whatever the bytes, the decoder returns a value,
// throws what the call threw, or refuses the reply; it never reads outside
// the reply, and a refused reply leaves nothing used.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "instrument/instrument_host.h"

namespace vdqrn {
namespace {

template <typename Result>
void ParseCall(const std::vector<std::uint8_t>& reply) {
  try {
    const host_protocol::Decoded<Result> result = InstrumentHost::ParseCallReply<Result>(reply);
    (void)result.Get();
  } catch (const InstrumentHost::ReplyDoesNotParse&) {
  } catch (const LibraryException& failure) {
    (void)failure.what();
  } catch (const LibraryOtherException&) {
  } catch (const LibraryCallCutShort&) {
  }
}

}  // namespace
}  // namespace vdqrn

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vdqrn::InstrumentHost;
  if (size == 0) return 0;
  const std::vector<std::uint8_t> reply(data + 1, data + size);
  switch (data[0] % 5) {
    case 0: vdqrn::ParseCall<bool>(reply); break;
    case 1: vdqrn::ParseCall<int>(reply); break;
    case 2: vdqrn::ParseCall<float>(reply); break;
    case 3: vdqrn::ParseCall<const char*>(reply); break;
    default: {
      float values[31];
      try {
        InstrumentHost::ParseSeriesReply(reply, 31, values);
      } catch (...) {
      }
    }
  }
  return 0;
}
