// A host application's session with the driver: opens both virtual
// channels of the current session, sends one command at a time and waits
// for its one response on the data channel. After a time-out, or a response
// whose end it could not tell, it gets back in step by itself before the
// next command, so that no response is ever taken for another command's.
// Not for use by two threads at once; only the cancel flag may be set from
// another thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "channel_functions.h"
#include "reply.h"

namespace qrnclient {

extern const char kCommandChannelName[];  // "QrnCmd1"
extern const char kDataChannelName[];     // "QrnDta1"

// The largest packet a channel carries, and the data it holds. A command
// longer than one packet would reach the driver as two commands.
constexpr std::size_t kMaxPacketBytes = 5000;
constexpr std::size_t kMaxCommandBytes = 4996;

// The platform's error numbers the session tells apart.
constexpr std::uint32_t kErrorAccessDenied = 5;

enum class Target { kCommandChannel, kDataChannel };

struct OpenResult {
  bool ok = false;
  std::string failedChannel;     // the channel that did not open
  std::uint32_t systemError = 0; // the platform's reason
  bool accessDenied = false;     // refused by the server's allow list
};

class Session {
 public:
  using Milliseconds = std::chrono::milliseconds;
  // How long a response split over packets may pause after a full packet
  // before the session asks the driver whether more is to come.
  static constexpr Milliseconds kDefaultJoinWait{250};
  // The wait a time-out of 0 stands for.
  static constexpr Milliseconds kDefaultTimeout{5000};
  // How long the driver is given to echo the token that tells whether a
  // response ending on a full packet is whole, at least.
  static constexpr Milliseconds kCompletionWait{2000};
  // How often a wait looks at the cancel flag.
  static constexpr Milliseconds kCancelSlice{50};

  explicit Session(const ChannelFunctions& functions);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the command and the data channel; a failed open leaves none open.
  OpenResult Open();
  void Close();
  bool IsOpen() const { return data_ != nullptr; }

  // Sends the command and waits up to the time-out (0: kDefaultTimeout)
  // for its response. Gets back in step first when it has to; when that
  // does not finish in time, nothing is sent (kOutOfStep).
  Reply Send(const std::string& command, Milliseconds timeout,
             Target target = Target::kCommandChannel);

  // False after a time-out, a cancelled wait or a response that may be
  // incomplete, until the session is back in step: what arrives meanwhile
  // is taken for no command's.
  bool InStep() const { return inStep_; }

  void SetJoinWait(Milliseconds wait) { joinWait_ = wait; }
  // While the flag is set, waits end as cancelled (within kCancelSlice).
  void SetCancelFlag(const std::atomic<bool>* flag) { cancel_ = flag; }

 private:
  enum class ReadStatus { kPacket, kTimedOut, kFailed, kCancelled };
  struct Packet {
    ReadStatus status;
    std::string bytes;
    std::uint32_t systemError;
  };
  using Clock = std::chrono::steady_clock;

  bool Cancelled() const { return cancel_ != nullptr && cancel_->load(); }
  // One packet; a wait of 0 takes only one that is there already.
  Packet ReadPacket(Clock::time_point deadline);
  // A whole response: packets joined while they arrive full. *endOpen is
  // set when it ended on a full packet and nothing followed in time.
  Packet ReadResponse(Clock::time_point deadline, bool* endOpen);
  bool WriteAll(ChannelHandle channel, const std::string& bytes, std::uint32_t* systemError);
  // Writes an unknown command carrying a fresh token, unless one is still
  // unanswered, and reads packet by packet until the driver's answer that
  // echoes it. What comes before it is handed to `earlier` (or dropped).
  bool GetBackInStep(Clock::time_point deadline, Reply* failure, std::string* earlier);
  Reply Failure(Outcome outcome, std::string text, std::uint32_t systemError = 0) const;

  ChannelFunctions functions_;
  ChannelHandle command_ = nullptr;
  ChannelHandle data_ = nullptr;
  bool inStep_ = true;
  // A token written and not echoed yet: the next attempt waits for it
  // instead of writing another.
  std::string pendingToken_;
  Milliseconds joinWait_ = kDefaultJoinWait;
  const std::atomic<bool>* cancel_ = nullptr;
};

// A token no earlier command can have carried: "QrnSync" and 16 hex digits.
std::string FreshSyncToken();

}  // namespace qrnclient
