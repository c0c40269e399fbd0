// Inside the platform layer: what the channel's rings (shared_channel.cc)
// need from each operating system's file, and the size of the shared page
// that file creates and maps.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace vdqrn {

namespace platform {

namespace detail {

// The bytes of the shared page; the same in 32- and 64-bit processes.
extern const std::size_t kChannelPageBytes;

// Sets up a page the module just made (before the host maps it).
void PreparePage(void* page);

// Wakes the other side: one byte on the socket or pipe. False when the other
// side is gone.
bool RingWake(ChannelEnd& end);
// Sleeps until woken (taking every byte that woke it), until the other side
// is gone (kClosed) or for at most `timeoutMs` (negative: no limit).
ChannelOutcome AwaitWake(ChannelEnd& end, long timeoutMs);
// Whether more threads are ready to run than the machine has processors
// (false where the system does not tell). Costs a file read: asked rarely.
bool ProcessorsBusy();
// How often the system took this thread's processor for another thread so
// far (-1 where it does not tell). Costs a system call: asked rarely.
long long InvoluntarySwitches();

}  // namespace detail

}  // namespace platform

}  // namespace vdqrn
