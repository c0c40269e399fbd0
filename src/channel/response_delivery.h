// Delivery of the pending response to the engine, from the poll procedure and,
// in high-performance mode, right after a command has been answered.
#pragma once

#include <cstdint>

namespace vdqrn {

// Sends the one VirtualChannelICA's pending response and clears it once the
// engine has taken it. 0 sent; 21 nothing pending (not logged); 30 when the
// engine answered 1016; any other failure status unchanged.
std::int32_t SendData();

}  // namespace vdqrn
