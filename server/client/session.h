// A host application's session with the driver: opens both virtual
// channels of the current session, sends one command at a time and waits
// for its one response on the data channel. After a time-out, or a response
// whose end it could not tell, it gets back in step by itself before the
// next command, so that no response is ever taken for another command's;
// packets that came while no command was waiting (a client that sends what
// nobody asked for) are never taken for the next command's answer either.
// Not for use by two threads at once; only the cancel flag may be set from
// another thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
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
  // The longest response kept: a client that sends full packets without
  // end costs the host no more memory than this; the rest is dropped and
  // the answer is incomplete.
  static constexpr std::size_t kMaxResponseBytes = 16u << 20;
  // The wait a time-out of 0 stands for.
  static constexpr Milliseconds kDefaultTimeout{5000};
  // How long the driver is given to echo the token that tells whether a
  // response ending on a full packet is whole, at least.
  static constexpr Milliseconds kCompletionWait{2000};
  // How often a wait looks at the cancel flag.
  static constexpr Milliseconds kCancelSlice{50};
  // How long nothing at all may arrive after a token before it counts as
  // lost and a fresh one is written: in normal mode the driver drops the
  // busy answer to a token that came while a command ran, and then the
  // token is never echoed. The wait doubles while nothing comes (a command
  // that runs for minutes costs a token now and then, not every second),
  // up to kLongestTokenWait, and starts again at kTokenWait with the next
  // packet.
  static constexpr Milliseconds kTokenWait{1000};
  static constexpr Milliseconds kLongestTokenWait{8000};

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

  // False after a time-out, a cancelled wait, a response that may be
  // incomplete or packets that no command asked for, until the session is
  // back in step: what arrives meanwhile is taken for no command's.
  bool InStep() const { return inStep_; }

  void SetJoinWait(Milliseconds wait) { joinWait_ = wait; }
  // A set flag ends the call running or, when none runs, the next one: the
  // call that sees it clears it and ends (within kCancelSlice), unsent when
  // it has not written its command yet.
  void SetCancelFlag(std::atomic<bool>* flag) { cancel_ = flag; }

 private:
  enum class ReadStatus { kPacket, kTimedOut, kFailed, kCancelled };
  struct Packet {
    ReadStatus status;
    std::string bytes;
    std::uint32_t systemError;
  };
  using Clock = std::chrono::steady_clock;

  // Whether a cancel is pending; it is taken (cleared) by this look, and the
  // call that looked ends.
  bool Cancelled() { return cancel_ != nullptr && cancel_->load() && cancel_->exchange(false); }
  // One packet; a wait of 0 takes only one that is there already.
  Packet ReadPacket(Clock::time_point deadline);
  // In step, before a command is written: reads what is there already,
  // none of which can be the command's answer. Anything there puts the
  // session out of step. False with *failure when a cancel came, or packets
  // were still coming at the deadline.
  bool DropUnasked(Clock::time_point deadline, Reply* failure);
  // Sleeps; false when a cancel came meanwhile.
  bool Pause(Milliseconds pause);
  // A whole response: packets joined while they arrive full. *endOpen is
  // set when it ended on a full packet and nothing followed in time.
  Packet ReadResponse(Clock::time_point deadline, bool* endOpen);
  bool WriteAll(ChannelHandle channel, const std::string& bytes, std::uint32_t* systemError);
  // Writes an unknown command carrying a fresh token, unless one is still
  // unanswered and not yet taken for lost, and reads packet by packet until
  // the driver's answer that echoes it. What comes before it is handed to
  // `earlier` (or dropped); answers to tokens taken for lost are dropped.
  bool GetBackInStep(Clock::time_point deadline, Reply* failure, std::string* earlier);
  // Whether the packet is the echo or the busy answer of the token.
  static bool Echoes(const std::string& packet, const std::string& token);
  static bool RefusesAsBusy(const std::string& packet, const std::string& token);
  Reply Failure(Outcome outcome, std::string text, std::uint32_t systemError = 0) const;

  ChannelFunctions functions_;
  ChannelHandle command_ = nullptr;
  ChannelHandle data_ = nullptr;
  bool inStep_ = true;
  // A token written and not echoed yet: the next attempt waits for it
  // instead of writing another, until nothing has come for tokenWait_.
  std::string pendingToken_;
  // When the token was written or the last packet came, whichever is later.
  Clock::time_point quietSince_;
  Milliseconds tokenWait_ = kTokenWait;
  // Tokens taken for lost, the latest last: their late answers are dropped.
  std::deque<std::string> lostTokens_;
  Milliseconds joinWait_ = kDefaultJoinWait;
  std::atomic<bool>* cancel_ = nullptr;
};

// A token no earlier command can have carried: "QrnSync" and 16 hex digits.
std::string FreshSyncToken();

}  // namespace qrnclient
