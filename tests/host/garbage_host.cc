// A stand-in for the instrument host that answers the first request with a
// reply that does not parse, then waits for the module to end it.
#include <cstdint>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  std::intptr_t channel = -1;
  if (argc != 2 || !vdqrn::platform::OpenParentChannel(argv[1], &channel)) return 64;
  std::uint8_t header[4];
  if (!vdqrn::platform::ReadFromParent(channel, header, sizeof header)) return 0;
  std::vector<std::uint8_t> request(header[0] | header[1] << 8 | header[2] << 16);
  if (!request.empty() && !vdqrn::platform::ReadFromParent(channel, request.data(), request.size())) {
    return 0;
  }
  const std::uint8_t reply[] = {3, 0, 0, 0, 'x', 'y', 'z'};
  vdqrn::platform::WriteToParent(channel, reply, sizeof reply);
  while (vdqrn::platform::ReadFromParent(channel, header, 1)) {
  }
  return 0;
}
