// A stand-in for the instrument host that answers the first request with a
// reply that does not parse, then waits for the module to end it.
#include <cstdint>

#include "platform/platform.h"

int main(int argc, char** argv) {
  using vdqrn::platform::ChannelOutcome;
  vdqrn::platform::ChannelEnd channel;
  if (argc != 2 || !vdqrn::platform::OpenParentChannel(argv[1], &channel)) return 64;
  std::uint8_t chunk[4096];
  std::size_t got = 0;
  if (vdqrn::platform::ReadFromChannel(channel, chunk, sizeof chunk, &got, -1) !=
      ChannelOutcome::kDone) {
    return 0;
  }
  const std::uint8_t reply[] = {3, 0, 0, 0, 'x', 'y', 'z'};
  vdqrn::platform::WriteToChannel(channel, reply, sizeof reply, -1);
  while (vdqrn::platform::ReadFromChannel(channel, chunk, sizeof chunk, &got, -1) ==
         ChannelOutcome::kDone) {
  }
  return 0;
}
