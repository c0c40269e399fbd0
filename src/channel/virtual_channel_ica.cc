#include "channel/virtual_channel_ica.h"

#include <cstddef>
#include <type_traits>

#include "diagnostics/log.h"
#include "interpreter/instrument.h"

namespace vdqrn {

using diagnostics::LogTimestamped;
using diagnostics::PlainLogLine;

const char kVersionKeyword[] = "QuarnClientDriverVersion";
// The project version of the build (CMakeLists.txt), as the host asks for it.
const char kDriverVersion[] = VDQRN_VERSION;
const char kUnhandledExceptionResponse[] = "ERROR|Unhandled exception";

namespace {

// Longest response the direct send can carry: its length argument is 16-bit.
constexpr std::uint32_t kMaxDirectSendLength = 0xFFFF;

}  // namespace

VirtualChannelICA::VirtualChannelICA()
    : pInstrument(),
      usCmdChannel(0),
      usCmdMaxWrite(0),
      usDataChannel(0),
      usDataMaxWrite(0),
      pWd(nullptr),
      pfnSendDirect(nullptr),
      pfnQueueWrite(nullptr),
      ulSendLength(0),
      pSendData(nullptr),
      bHpc(0),
      spResponse(),
      spWaiting(new std::deque<std::string>()),
      executing(0) {
  LogTimestamped("VirtualChannelICA (" __DATE__ " - " __TIME__ ")");
}

VirtualChannelICA::~VirtualChannelICA() {
  pInstrument.reset();
  LogTimestamped("~VirtualChannelICA");
  spResponse.reset();
}

std::string VirtualChannelICA::Execute(const std::string& commandText) {
  if (!pInstrument) pInstrument.reset(new Instrument());
  PlainLogLine() << "Virtual channel - Execute: \"" << commandText << "\"";
  const bool nested = executing != 0;
  // A new command's answer replaces the pending one and whatever waited
  // behind it; those of commands nested in it will wait behind it.
  if (!nested) spWaiting->clear();
  struct Running {
    int& depth;
    explicit Running(int& d) : depth(d) { ++depth; }
    ~Running() { --depth; }
  } running(executing);

  if (commandText == kVersionKeyword) {
    Keep(kDriverVersion, nested);
    return kDriverVersion;
  }

  const std::string answer = pInstrument->Execute(commandText).ToString();
  Keep(answer, nested);
  // "respone" is spelled as the log has always spelled it: tools that read
  // the log look for this text, so it is not corrected.
  PlainLogLine() << "Virtual channel - Pending respone <-- \"" << answer << "\"";
  return answer;
}

std::string VirtualChannelICA::AnswerUnhandledException() {
  PlainLogLine() << "Virtual channel - Unhandled exception";
  Keep(kUnhandledExceptionResponse, executing != 0);
  return kUnhandledExceptionResponse;
}

void VirtualChannelICA::Keep(const std::string& answer, bool nested) {
  if (nested && bHpc != 0) {
    spWaiting->push_back(answer);
    return;
  }
  spResponse.reset(new std::string(answer));
}

bool VirtualChannelICA::HasPendingResponse() const { return static_cast<bool>(spResponse); }

std::string VirtualChannelICA::GetResponse() const {
  if (!spResponse) {
    PlainLogLine() << "GetResponse - No pending response";
    return std::string();
  }
  return *spResponse;
}

void VirtualChannelICA::ClearResponse() {
  PlainLogLine() << "Clear response buffer";
  spResponse.reset();
  if (!spWaiting->empty()) {
    spResponse.reset(new std::string(spWaiting->front()));
    spWaiting->pop_front();
  }
}

void VirtualChannelICA::SetCommandChannel(std::uint16_t channel, std::uint16_t maxWriteLessOne) {
  usCmdChannel = channel;
  usCmdMaxWrite = maxWriteLessOne;
}

void VirtualChannelICA::SetDataChannel(std::uint16_t channel, std::uint16_t maxWriteLessOne,
                                       void* wd, ica::QueueWriteProcedure queueWrite,
                                       ica::SendDirectProcedure sendDirect, std::uint8_t hpc) {
  usDataChannel = channel;
  usDataMaxWrite = maxWriteLessOne;
  pWd = wd;
  pfnQueueWrite = queueWrite;
  pfnSendDirect = sendDirect;
  bHpc = hpc;
}

std::int32_t VirtualChannelICA::SendResponse() {
  if (!HasPendingResponse()) {
    PlainLogLine() << "Virtual channel  - No pending response";
    return ica::kStatusNoData;
  }
  PlainLogLine() << "Virtual channel  - Pending response: \"" << *spResponse << "\"";

  std::string& response = *spResponse;
  pSendData = reinterpret_cast<std::uint8_t*>(&response[0]);
  ulSendLength = static_cast<std::uint32_t>(response.size());

  // A response too long for the direct send's 16-bit length goes through the
  // queued write, whose section length is 32-bit, rather than being cut.
  if (bHpc != 0 && ulSendLength <= kMaxDirectSendLength) return SendDirect();
  return QueueWrite();
}

std::int32_t VirtualChannelICA::SendDirect() {
  PlainLogLine() << "  Send HPC";
  if (pfnSendDirect == nullptr) return ica::kStatusUnavailable;
  return pfnSendDirect(pWd, usDataChannel, pSendData, static_cast<std::uint16_t>(ulSendLength),
                       &pSendData, 1);
}

std::int32_t VirtualChannelICA::QueueWrite() {
  // The engine reads ulSendLength and pSendData as a list of one section.
  static_assert(std::is_standard_layout<VirtualChannelICA>::value, "section pair layout");
  static_assert(offsetof(VirtualChannelICA, pSendData) - offsetof(VirtualChannelICA, ulSendLength) ==
                    offsetof(ica::MemorySection, pBytes),
                "ulSendLength and pSendData must form a memory section");
  static_assert(offsetof(VirtualChannelICA, ulSendLength) % alignof(ica::MemorySection) == 0,
                "the section list must be aligned as a memory section");
  PlainLogLine() << "  Post response for sending";
  if (pfnQueueWrite == nullptr) return ica::kStatusUnavailable;
  return pfnQueueWrite(pWd, usDataChannel, reinterpret_cast<ica::MemorySection*>(&ulSendLength), 1,
                       0);
}

}  // namespace vdqrn
