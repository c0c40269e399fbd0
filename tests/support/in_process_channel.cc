#include "in_process_channel.h"

#include <memory>

#include "channel/engine_entry.h"
#include "channel/virtual_channel_ica.h"
#include "diagnostics/log.h"
#include "platform/platform.h"

namespace vdqrn {

namespace {

std::unique_ptr<VirtualChannelICA> g_channel;

}  // namespace

VirtualChannelICA& GetVirtualChannel() {
  if (!g_channel) g_channel.reset(new VirtualChannelICA());
  return *g_channel;
}

// The channel code linked in here follows the Windows engine, so that
// high-performance mode is covered on every platform.
EngineKind TargetEngine() { return EngineKind::kWindows; }

void ResetInProcessChannel() { g_channel.reset(); }

bool AttachInProcess(engine_sim::Engine& engine, const std::string& logDirectory) {
  platform::SetTempDirectoryForTesting(logDirectory + "/");
  diagnostics::ResetFirstOpenForTesting();
  ResetInProcessChannel();
  return engine.AttachModule(&Load);
}

void DetachInProcess(engine_sim::Engine& engine) {
  engine.Unload();
  ResetInProcessChannel();
  platform::SetTempDirectoryForTesting("");
}

}  // namespace vdqrn
