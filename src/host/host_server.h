// The instrument host's work: loads one instrument library through Spectro,
// in this process, and serves the module's requests on the channel until the
// module closes it (host_protocol.h). Writes nothing anywhere else.
#pragma once

#include <cstdint>
#include <vector>

#include "instrument/host_protocol.h"
#include "instrument/spectro.h"
#include "platform/platform.h"

namespace vdqrn {

class HostServer {
 public:
  // Answers one request's payload; false when the payload is not a request
  // (what `reply` holds then is not to be sent): the module and the host
  // then part.
  bool Answer(const std::vector<std::uint8_t>& request, host_protocol::Writer* reply);

 private:
  bool AnswerCalls(host_protocol::Reader& in, host_protocol::Writer* reply);
  bool AnswerSeries(host_protocol::Reader& in, host_protocol::Writer* reply);

  // Loads libraries of this process's own architecture only.
  Spectro spectro_{false};
};

// Serves the channel until the module closes it; the process's exit code:
// 0 when the module closed it, 2 after a request that is not one or a
// channel whose state makes no sense.
int ServeChannel(platform::ChannelEnd& channel);

}  // namespace vdqrn
