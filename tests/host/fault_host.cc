// Stand-ins for the instrument host that break its protocol, one way per
// program (FAULT_HOST_MODE, chosen when it is built):
//   1 garbagehost     answers the first request with a reply that does not parse
//   2 extrahost       answers the load, and sends a second reply with it
//   3 laterhost       answers the load, and 100 ms later a reply no one asked
//                     for; answers later requests after 20 ms
//   4 tricklehost     answers the load; later replies one byte at a time, slowly
//   5 sipperhost      answers the load; takes later requests a byte every 20 ms
//   6 floodhost       answers the load; then rings the module's wake socket
//                     without pause and never answers
//   7 chattyhost      writes 256 KiB of lines to its standard error before it
//                     serves, then serves as the others do
// (6 and 7 are POSIX only: elsewhere they serve as the others do.)
// Every call it answers is a bool call that returned false, its reply
// numbered as its request. It then waits for the module to end it.
#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <string>
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
std::vector<std::uint8_t> BoolReply(std::uint32_t number, bool value) {
  protocol::Writer reply;
  reply.U16(1);
  reply.Bool(value);
  reply.U8(protocol::kReturned);
  return reply.NumberedFrame(number);
}

std::vector<std::uint8_t> Answer(std::uint32_t number, const std::vector<std::uint8_t>& request) {
  protocol::Writer reply;
  if (!request.empty() && request[0] == protocol::kLoad) {
    reply.Bool(true);
    reply.Text("");
    return reply.NumberedFrame(number);
  }
  if (!request.empty() && request[0] == protocol::kUnload) {
    reply.U8(0);
    return reply.NumberedFrame(number);
  }
  return BoolReply(number, false);
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  if (FAULT_HOST_MODE == 7) {
    const std::string line(1023, 'w');
    for (int count = 0; count < 256; ++count) {
      const std::string numbered = std::to_string(count) + line.substr(0, 1000) + "\n";
      if (write(2, numbered.data(), numbered.size()) < 0) return 3;
    }
  }
  // 256 KiB of one line, trickled a few bytes at a time.
  if (FAULT_HOST_MODE == 8) {
    const std::string piece(64, 'm');
    for (int count = 0; count < 4096; ++count) {
      if (write(2, piece.data(), piece.size()) < 0) return 3;
      if (count % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (write(2, "\n", 1) < 0) return 3;
  }
#endif
  ChannelEnd channel;
  if (argc != 2 || !vdqrn::platform::OpenParentChannel(argv[1], &channel)) return 64;
  protocol::FrameReader frames;
  int requests = 0;
  for (;;) {
    std::vector<std::uint8_t> request;
    while (frames.Take(&request) != protocol::FrameReader::kFrame) {
      std::uint8_t chunk[4096];
      std::size_t got = 0;
      const bool sipping = FAULT_HOST_MODE == 5 && requests > 0;
      if (sipping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (vdqrn::platform::ReadFromChannel(channel, chunk, sipping ? 1 : sizeof chunk, &got, -1) !=
          ChannelOutcome::kDone) {
        return 0;
      }
      frames.Append(chunk, got);
    }
    std::uint32_t number = 0;
    if (!protocol::TakeNumber(&request, &number)) return 2;
    ++requests;
#if !defined(_WIN32)
    if (FAULT_HOST_MODE == 6 && requests > 1) {
      const std::vector<char> bells(4096, 1);
      while (send(static_cast<int>(channel.wake), bells.data(), bells.size(), MSG_NOSIGNAL) > 0) {
      }
      return 0;
    }
#endif
    std::vector<std::uint8_t> reply = Answer(number, request);
    switch (FAULT_HOST_MODE) {
      case 1:
        reply = {3, 0, 0, 0, 'x', 'y', 'z'};
        break;
      case 2:
        if (requests == 1) {
          const std::vector<std::uint8_t> extra = BoolReply(number, true);
          reply.insert(reply.end(), extra.begin(), extra.end());
        }
        break;
      case 3:
        if (requests > 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (requests == 1) {
          if (!Send(channel, reply)) return 0;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          reply = BoolReply(number, true);
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
