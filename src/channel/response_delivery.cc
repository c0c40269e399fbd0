#include "channel/response_delivery.h"

#include "channel/ica_records.h"
#include "channel/virtual_channel_ica.h"
#include "diagnostics/log.h"

namespace vdqrn {

using diagnostics::LogTimestamped;
using diagnostics::PlainLogLine;

std::int32_t SendData() {
  VirtualChannelICA& channel = GetVirtualChannel();
  // An idle poll leaves no trace in the log.
  if (!channel.HasPendingResponse()) return ica::kStatusNoData;

  LogTimestamped("ICA: SendData - Data available");
  const std::int32_t status = channel.SendResponse();
  if (status != ica::kStatusSuccess) {
    // The response stays pending: the next poll sends it again.
    PlainLogLine() << "Error sending response (Error: " << status << ")";
    return status == ica::kStatusEngineBusy ? ica::kStatusRetry : status;
  }
  PlainLogLine() << "Response sent (\"" << channel.GetResponse() << "\")";
  channel.ClearResponse();
  return ica::kStatusSuccess;
}

}  // namespace vdqrn
