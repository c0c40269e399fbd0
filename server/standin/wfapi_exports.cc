// The five exported functions: argument checks, then the channel table.
#include <cstdint>
#include <string>

#include "channel_table.h"
#include "error_numbers.h"
#include "platform/caller.h"
#include "wfapi.h"

namespace {

using vdqrn::standin::ChannelTable;
using vdqrn::standin::PacketQueue;
namespace standin = vdqrn::standin;

constexpr std::size_t kMaxChannelName = 7;

BOOL Fail(std::uint32_t error) {
  vdqrn::platform::SetCallerError(error);
  return 0;
}

bool ValidName(const char* name) {
  if (name == nullptr) return false;
  std::size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    const unsigned char c = static_cast<unsigned char>(name[length]);
    if (c < 0x20 || c > 0x7E || length >= kMaxChannelName) return false;
  }
  return length > 0;
}

}  // namespace

extern "C" {

HANDLE QRN_WFAPI_CALL WFVirtualChannelOpen(HANDLE /*hServer*/, DWORD /*SessionId*/,
                                           LPSTR pVirtualName) {
  if (!ValidName(pVirtualName)) {
    Fail(standin::kErrorInvalidParameter);
    return nullptr;
  }
  std::uint32_t error = 0;
  void* handle = ChannelTable::Instance().Open(pVirtualName, &error);
  if (handle == nullptr) Fail(error);
  return static_cast<HANDLE>(handle);
}

BOOL QRN_WFAPI_CALL WFVirtualChannelClose(HANDLE hChannelHandle) {
  if (!ChannelTable::Instance().Close(hChannelHandle)) return Fail(standin::kErrorInvalidHandle);
  return 1;
}

BOOL QRN_WFAPI_CALL WFVirtualChannelRead(HANDLE hChannelHandle, ULONG TimeOutMs, PCHAR pBuffer,
                                         ULONG BufferSize, PULONG pBytesRead) {
  const auto channel = ChannelTable::Instance().Find(hChannelHandle);
  if (!channel) return Fail(standin::kErrorInvalidHandle);
  if (pBytesRead == nullptr || (pBuffer == nullptr && BufferSize != 0)) {
    return Fail(standin::kErrorInvalidParameter);
  }
  *pBytesRead = 0;
  std::string packet;
  switch (channel->queue->Take(BufferSize, TimeOutMs, &packet)) {
    case PacketQueue::Taken::kPacket:
      packet.copy(pBuffer, packet.size());
      *pBytesRead = static_cast<ULONG>(packet.size());
      return 1;
    case PacketQueue::Taken::kTooSmall: return Fail(standin::kErrorInsufficientBuffer);
    case PacketQueue::Taken::kTimedOut: return Fail(standin::kErrorSemTimeout);
    case PacketQueue::Taken::kBroken: return Fail(standin::kErrorBrokenPipe);
    case PacketQueue::Taken::kClosed: return Fail(standin::kErrorInvalidHandle);
  }
  return Fail(standin::kErrorInvalidHandle);
}

BOOL QRN_WFAPI_CALL WFVirtualChannelWrite(HANDLE hChannelHandle, PCHAR pBuffer, ULONG Length,
                                          PULONG pBytesWritten) {
  const auto channel = ChannelTable::Instance().Find(hChannelHandle);
  if (!channel) return Fail(standin::kErrorInvalidHandle);
  if (pBytesWritten == nullptr || (pBuffer == nullptr && Length != 0)) {
    return Fail(standin::kErrorInvalidParameter);
  }
  *pBytesWritten = 0;
  if (Length == 0) return 1;
  if (!channel->connection->Send(channel->id, pBuffer, Length)) {
    return Fail(standin::kErrorBrokenPipe);
  }
  *pBytesWritten = Length;
  return 1;
}

BOOL QRN_WFAPI_CALL WFVirtualChannelPurgeInput(HANDLE hChannelHandle) {
  const auto channel = ChannelTable::Instance().Find(hChannelHandle);
  if (!channel) return Fail(standin::kErrorInvalidHandle);
  channel->queue->Purge();
  return 1;
}

}  // extern "C"
