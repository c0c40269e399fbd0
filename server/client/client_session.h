// The session behind the C interface: refuses a second call while one
// runs (on another thread), lets another thread cancel the running wait,
// closes only once the running call has returned, and keeps the last
// call's response until the next call. Statuses are qrnclient.h's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "session.h"

namespace qrnclient {

class ClientSession {
 public:
  using Milliseconds = Session::Milliseconds;
  struct Result {
    int status;
    Reply reply;
  };

  explicit ClientSession(const ChannelFunctions& functions);
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  OpenResult Open();

  Result Send(const std::string& command, Milliseconds timeout, Target target);
  // The value is written only with QRN_OK.
  int AskNumber(const std::string& command, Milliseconds timeout, double* value);
  int AskFlag(const std::string& command, Milliseconds timeout, int* value);
  int SpectralDataAll(int angle, Milliseconds timeout, double* values);

  // The last call's response exactly as it came (as much as came of an
  // incomplete one), or why none came; QRN_BUSY while a call runs.
  int LastAnswer(std::string* answer);
  std::uint32_t SystemError() const { return systemError_.load(); }

  // From any thread: ends the running call's wait or, when none waits, the
  // next call (unsent); only that one, however many cancels came.
  void Cancel();
  // Cancels the running call and returns once it has returned; every call
  // is refused from then on. The session may then be destroyed.
  void Shutdown();

  // The qrnclient.h status of a reply.
  static int StatusOf(const Reply& reply);

 private:
  class Turn;  // one call's hold on the session

  // A typed call: asks, keeps the reply, writes the value on QRN_OK.
  template <typename Asker, typename Writer>
  int Typed(Asker ask, Writer write);

  Session session_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<std::uint32_t> systemError_{0};
  Reply last_;
};

}  // namespace qrnclient
