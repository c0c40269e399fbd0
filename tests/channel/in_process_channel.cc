#include "in_process_channel.h"

#include <memory>

#include "channel/virtual_channel_ica.h"

namespace {

std::unique_ptr<VirtualChannelICA> g_channel;

}  // namespace

VirtualChannelICA& GetVirtualChannel() {
  if (!g_channel) g_channel.reset(new VirtualChannelICA());
  return *g_channel;
}

void ResetInProcessChannel() { g_channel.reset(); }
