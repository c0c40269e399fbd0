// A host application's session with the driver: opens both virtual
// channels of the current session, sends one command at a time and waits
// for its one response on the data channel. After a time-out it gets back
// in step by itself before the next command. Not for use by two threads at
// once.
#pragma once

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
  // How long a response split over packets may pause after a full packet.
  static constexpr Milliseconds kDefaultJoinWait{250};

  explicit Session(const ChannelFunctions& functions);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the command and the data channel; a failed open leaves none open.
  OpenResult Open();
  void Close();
  bool IsOpen() const { return data_ != nullptr; }

  // Sends the command and waits up to the time-out for its response.
  Reply Send(const std::string& command, Milliseconds timeout,
             Target target = Target::kCommandChannel);

  // False after a time-out, until the session is back in step: a late
  // response is then taken for no command's.
  bool InStep() const { return inStep_; }

  void SetJoinWait(Milliseconds wait) { joinWait_ = wait; }

 private:
  enum class ReadStatus { kPacket, kTimedOut, kFailed };
  struct Packet {
    ReadStatus status;
    std::string bytes;
    std::uint32_t systemError;
  };
  using Clock = std::chrono::steady_clock;

  Packet ReadPacket(Milliseconds wait);
  // A whole response: packets joined while they arrive full.
  Packet ReadResponse(Clock::time_point deadline);
  bool WriteAll(ChannelHandle channel, const std::string& bytes, std::uint32_t* systemError);
  // Sends an unknown command carrying a fresh token and discards everything
  // until the driver's answer that echoes it.
  bool GetBackInStep(Clock::time_point deadline, Reply* failure);
  Reply Failure(Outcome outcome, std::string text, std::uint32_t systemError = 0) const;

  ChannelFunctions functions_;
  ChannelHandle command_ = nullptr;
  ChannelHandle data_ = nullptr;
  bool inStep_ = true;
  Milliseconds joinWait_ = kDefaultJoinWait;
};

// A token no earlier command can have carried: "QrnSync" and 16 hex digits.
std::string FreshSyncToken();

}  // namespace qrnclient
