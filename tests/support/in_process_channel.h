// For tests that link the channel code into the test itself: the stand-in for
// the module's one VirtualChannelICA, created on first use, and the engine
// simulator attached to the linked-in Load procedure.
#pragma once

#include <string>

#include "engine_sim.h"

namespace vdqrn {

// Destroys the current VirtualChannelICA (writing its last log line); the next
// use creates a fresh one.
void ResetInProcessChannel();

// Points the log at the directory, starts from a fresh VirtualChannelICA and
// attaches the engine to the linked-in channel code. False when Load failed.
bool AttachInProcess(engine_sim::Engine& engine, const std::string& logDirectory);
// Unloads, drops the VirtualChannelICA and restores the temporary directory.
void DetachInProcess(engine_sim::Engine& engine);

}  // namespace vdqrn
