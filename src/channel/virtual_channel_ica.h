// VirtualChannelICA, the session channel's request cycle: answers one command text at a
// time, keeps the answer as the single pending response and sends it to the
// engine on the data channel. The module has exactly one, reached through
// GetVirtualChannel().
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include <boost/scoped_ptr.hpp>
#include <boost/shared_ptr.hpp>

#include "channel/ica_records.h"

namespace vdqrn {

class Instrument;

// The text that asks for the driver's version, and the version it answers.
extern const char kVersionKeyword[];
extern const char kDriverVersion[];
// The pending response when a command ended in an exception that nothing else caught.
extern const char kUnhandledExceptionResponse[];

class VirtualChannelICA {
 public:
  VirtualChannelICA();
  ~VirtualChannelICA();
  VirtualChannelICA(const VirtualChannelICA&) = delete;
  VirtualChannelICA& operator=(const VirtualChannelICA&) = delete;

  // Answers one command text and keeps the answer as the pending response,
  // replacing any earlier one. A command that arrives while another is being
  // answered (a library call that pumps messages lets the engine deliver it)
  // is nested in it: in high-performance mode its answer waits behind the
  // outer command's, so that answers leave in the order their commands
  // arrived; in normal mode it is pending until the outer answer replaces
  // it. An exception from the interpreter passes through.
  std::string Execute(const std::string& commandText);
  // Logs the unhandled exception and keeps "ERROR|Unhandled exception" as
  // Execute keeps an answer; returns it.
  std::string AnswerUnhandledException();
  // Whether a command is being answered now.
  bool IsExecuting() const { return executing != 0; }

  bool HasPendingResponse() const;
  // A copy of the pending response, or empty text when nothing is pending.
  std::string GetResponse() const;
  // Drops the pending response; the first answer waiting behind it (high-
  // performance mode) becomes pending.
  void ClearResponse();

  // Hands the pending response to the engine on the data channel: 21 when
  // nothing is pending, 1011 when the engine never supplied the entry point,
  // otherwise the entry point's status. Never clears the response.
  std::int32_t SendResponse();

  bool IsHpc() const { return bHpc != 0; }
  void SetCommandChannel(std::uint16_t channel, std::uint16_t maxWriteLessOne);
  void SetDataChannel(std::uint16_t channel, std::uint16_t maxWriteLessOne, void* wd,
                      ica::QueueWriteProcedure queueWrite,
                      ica::SendDirectProcedure sendDirect, std::uint8_t hpc);

  std::uint16_t GetCommandChannel() const { return usCmdChannel; }
  std::uint16_t GetCommandMaxWrite() const { return usCmdMaxWrite; }
  std::uint16_t GetDataChannel() const { return usDataChannel; }
  std::uint16_t GetDataMaxWrite() const { return usDataMaxWrite; }

 private:
  std::int32_t SendDirect();
  std::int32_t QueueWrite();
  // Makes the answer pending, or has it wait behind the pending one.
  void Keep(const std::string& answer, bool nested);

  // Created by the first command. A scoped_ptr, not a unique_ptr: the class must
  // stay standard-layout for the section pair below with every compiler, and
  // clang does not count libstdc++'s unique_ptr as standard-layout.
  boost::scoped_ptr<Instrument> pInstrument;
  std::uint16_t usCmdChannel;
  // The engine's maximum write sizes less one: recorded for a later reader
  // only, as the engine's record carries them; no response is cut to them.
  std::uint16_t usCmdMaxWrite;
  std::uint16_t usDataChannel;
  std::uint16_t usDataMaxWrite;
  void* pWd;
  ica::SendDirectProcedure pfnSendDirect;
  ica::QueueWriteProcedure pfnQueueWrite;
  // The response being sent, as a one-section list for the queued write:
  // length first, then the bytes. Point into spResponse's string.
  std::uint32_t ulSendLength;
  std::uint8_t* pSendData;
  std::uint8_t bHpc;
  boost::shared_ptr<std::string> spResponse;
  // Answers of nested commands waiting behind the pending response, oldest
  // first (high-performance mode only); and how deep commands are nested.
  boost::shared_ptr<std::deque<std::string>> spWaiting;
  int executing;
};

// The module's one VirtualChannelICA.
VirtualChannelICA& GetVirtualChannel();

}  // namespace vdqrn
