// Stand-ins for the instrument host that break its protocol, one way per
// program (FAULT_HOST_MODE, chosen when it is built):
//   1 garbagehost     answers the first request with a reply that does not parse
//   2 extrahost       answers the load, and sends a second reply with it
//   3 laterhost       answers the load, and a moment later a reply no one asked for
//   4 tricklehost     answers the load; later replies one byte at a time, slowly
// Every call it answers is a bool call that returned false. It then waits
// for the module to end it.
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "instrument/host_protocol.h"
#include "platform/platform.h"

namespace {

using vdqrn::platform::ChannelEnd;
using vdqrn::platform::ChannelOutcome;
namespace protocol = vdqrn::host_protocol;

bool Send(ChannelEnd& channel, const std::vector<std::uint8_t>& bytes) {
  return vdqrn::platform::WriteToChannel(channel, bytes.data(), bytes.size(), -1) ==
         ChannelOutcome::kDone;
}

// A bool call's reply: one call done, its flag, returned.
std::vector<std::uint8_t> BoolReply(bool value) {
  protocol::Writer reply;
  reply.U16(1);
  reply.Bool(value);
  reply.U8(protocol::kReturned);
  return reply.Frame();
}

std::vector<std::uint8_t> LoadReply() {
  protocol::Writer reply;
  reply.Bool(true);
  return reply.Frame();
}

std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& request) {
  if (!request.empty() && request[0] == protocol::kLoad) return LoadReply();
  if (!request.empty() && request[0] == protocol::kUnload) {
    protocol::Writer reply;
    reply.U8(0);
    return reply.Frame();
  }
  return BoolReply(false);
}

}  // namespace

int main(int argc, char** argv) {
  ChannelEnd channel;
  if (argc != 2 || !vdqrn::platform::OpenParentChannel(argv[1], &channel)) return 64;
  protocol::FrameReader frames;
  int requests = 0;
  for (;;) {
    std::vector<std::uint8_t> request;
    while (frames.Take(&request) != protocol::FrameReader::kFrame) {
      std::uint8_t chunk[4096];
      std::size_t got = 0;
      if (vdqrn::platform::ReadFromChannel(channel, chunk, sizeof chunk, &got, -1) !=
          ChannelOutcome::kDone) {
        return 0;
      }
      frames.Append(chunk, got);
    }
    ++requests;
    std::vector<std::uint8_t> reply = Answer(request);
    switch (FAULT_HOST_MODE) {
      case 1:
        reply = {3, 0, 0, 0, 'x', 'y', 'z'};
        break;
      case 2:
        if (requests == 1) {
          const std::vector<std::uint8_t> extra = BoolReply(true);
          reply.insert(reply.end(), extra.begin(), extra.end());
        }
        break;
      case 3:
        if (requests == 1) {
          if (!Send(channel, reply)) return 0;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          reply = BoolReply(true);
        }
        break;
      case 4:
        if (requests > 1) {
          for (std::size_t at = 0; at + 1 < reply.size(); ++at) {
            if (!Send(channel, {reply[at]})) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
          reply = {reply.back()};
        }
        break;
    }
    if (!Send(channel, reply)) return 0;
  }
}
