// Inside the POSIX platform layer: how the channel's ends are made and
// mapped (channel_posix.cc), for the child process's start (child_process_posix.cc).
#pragma once

#include <string>

#include "platform/platform.h"

namespace vdqrn {
namespace platform {

// The two ends of a new channel: a socket pair and a shared page that
// `memory` holds. The page's size is sealed: a host that shrank it would end
// the client with SIGBUS at its next look. All are closed on exec.
bool CreateChannel(int sockets[2], int* memory, std::string* error);
// Maps the page held by `memory` into `end`.
bool MapChannel(int memory, int wake, bool isModule, ChannelEnd* end);

}  // namespace platform
}  // namespace vdqrn
