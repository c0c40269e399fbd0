#include "session.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace qrnclient {

const char kCommandChannelName[] = "QrnCmd1";
const char kDataChannelName[] = "QrnDta1";

namespace {

// The errors a read reports for a time-out on the systems we know of:
// ERROR_SEM_TIMEOUT, WAIT_TIMEOUT, ERROR_TIMEOUT.
bool IsTimeoutError(std::uint32_t error) { return error == 121 || error == 258 || error == 1460; }

// A read's wait in whole milliseconds, never the value that waits forever.
ChannelWord WaitMs(std::chrono::milliseconds wait) {
  const long long ms = std::max<long long>(0, wait.count());
  return static_cast<ChannelWord>(std::min<long long>(ms, kWaitForever - 1));
}

// How long a refused resynchronising command waits before the next one.
constexpr std::chrono::milliseconds kBusyPause{100};
// Why a command goes unsent while packets keep coming that no command
// waits for (a flood, or an earlier command's late response at the last
// moment).
const char kUnaskedPackets[] =
    "packets that no command waits for kept coming, and the session did not get back in step "
    "in time";

// How many tokens taken for lost are remembered, so that their late
// answers are dropped and not taken for part of a response.
constexpr std::size_t kLostTokensKept = 16;

}  // namespace

std::string FreshSyncToken() {
  std::random_device source;
  const std::uint64_t value = (static_cast<std::uint64_t>(source()) << 32) ^ source();
  char token[32];
  std::snprintf(token, sizeof token, "QrnSync%016llx", static_cast<unsigned long long>(value));
  return token;
}

Session::Session(const ChannelFunctions& functions) : functions_(functions) {}

Session::~Session() { Close(); }

OpenResult Session::Open() {
  Close();
  OpenResult result;
  const auto open = [&](const char* name, ChannelHandle* handle) {
    std::string writable(name);
    *handle = functions_.open(kCurrentServer, kCurrentSession, writable.data());
    if (*handle != nullptr) return true;
    result.failedChannel = name;
    result.systemError = functions_.lastError();
    result.accessDenied = result.systemError == kErrorAccessDenied;
    return false;
  };
  if (!open(kCommandChannelName, &command_) || !open(kDataChannelName, &data_)) {
    Close();
    return result;
  }
  inStep_ = true;
  pendingToken_.clear();
  lostTokens_.clear();
  tokenWait_ = kTokenWait;
  result.ok = true;
  return result;
}

void Session::Close() {
  for (ChannelHandle* handle : {&command_, &data_}) {
    if (*handle != nullptr) functions_.close(*handle);
    *handle = nullptr;
  }
}

Reply Session::Failure(Outcome outcome, std::string text, std::uint32_t systemError) const {
  Reply reply;
  reply.outcome = outcome;
  reply.text = std::move(text);
  reply.systemError = systemError;
  return reply;
}

Session::Packet Session::ReadPacket(Clock::time_point deadline) {
  // Never smaller than the largest packet: a read with a smaller buffer
  // loses the whole packet.
  std::vector<char> buffer(kMaxPacketBytes);
  for (;;) {
    if (Cancelled()) return {ReadStatus::kCancelled, std::string(), 0};
    const Clock::time_point start = Clock::now();
    Milliseconds wait =
        std::chrono::ceil<Milliseconds>(std::max(deadline - start, Clock::duration(0)));
    if (cancel_ != nullptr) wait = std::min(wait, kCancelSlice);
    ChannelWord read = 0;
    if (functions_.read(data_, WaitMs(wait), buffer.data(),
                        static_cast<ChannelWord>(buffer.size()), &read) != 0) {
      return {ReadStatus::kPacket,
              std::string(buffer.data(), std::min<std::size_t>(read, buffer.size())), 0};
    }
    // An error we do not know as a time-out is one still when the read took
    // its whole wait; a read that was not to wait at all failed.
    const std::uint32_t error = functions_.lastError();
    const Clock::time_point now = Clock::now();
    if (!IsTimeoutError(error) && (wait.count() == 0 || now - start < wait)) {
      return {ReadStatus::kFailed, std::string(), error};
    }
    if (now >= deadline) return {ReadStatus::kTimedOut, std::string(), error};
  }
}

Session::Packet Session::ReadResponse(Clock::time_point deadline, bool* endOpen) {
  *endOpen = false;
  Packet packet = ReadPacket(deadline);
  // A response longer than one packet comes as full packets and a last
  // shorter one: join while they arrive full and the next follows soon.
  bool full = packet.status == ReadStatus::kPacket && packet.bytes.size() == kMaxCommandBytes;
  while (full) {
    if (packet.bytes.size() >= kMaxResponseBytes) {
      *endOpen = true;  // a client that never stops: the rest is not kept
      break;
    }
    Packet next = ReadPacket(Clock::now() + joinWait_);
    if (next.status == ReadStatus::kTimedOut) {
      *endOpen = true;
      break;
    }
    if (next.status != ReadStatus::kPacket) return next;
    full = next.bytes.size() == kMaxCommandBytes;
    packet.bytes += next.bytes;
  }
  return packet;
}

bool Session::WriteAll(ChannelHandle channel, const std::string& bytes,
                       std::uint32_t* systemError) {
  std::string writable(bytes);
  ChannelWord written = 0;
  if (functions_.write(channel, writable.data(), static_cast<ChannelWord>(writable.size()),
                       &written) == 0) {
    *systemError = functions_.lastError();
    return false;
  }
  return true;
}

bool Session::Echoes(const std::string& packet, const std::string& token) {
  return packet == "ERROR|Unknown command \"" + token + "\"";
}

bool Session::RefusesAsBusy(const std::string& packet, const std::string& token) {
  const std::string busy = "ERROR|Command \"" + token + "\" refused";
  return packet.compare(0, busy.size(), busy) == 0;
}

bool Session::GetBackInStep(Clock::time_point deadline, Reply* failure, std::string* earlier) {
  const std::string notSent = "the command was not sent: ";
  for (;;) {
    if (!pendingToken_.empty() && Clock::now() >= quietSince_ + tokenWait_) {
      // Nothing came for a while: the driver is idle and dropped the
      // token's answer. Its echo may still come late; it is then dropped.
      lostTokens_.push_back(pendingToken_);
      if (lostTokens_.size() > kLostTokensKept) lostTokens_.pop_front();
      pendingToken_.clear();
      tokenWait_ = std::min(tokenWait_ * 2, kLongestTokenWait);
    }
    if (pendingToken_.empty()) {
      const std::string token = FreshSyncToken();
      std::uint32_t error = 0;
      if (!WriteAll(command_, token, &error)) {
        *failure = Failure(Outcome::kOutOfStep,
                           notSent + "writing on " + kCommandChannelName +
                               " failed while getting back in step",
                           error);
        return false;
      }
      pendingToken_ = token;
      quietSince_ = Clock::now();
    }
    const Packet packet = ReadPacket(std::min(deadline, quietSince_ + tokenWait_));
    switch (packet.status) {
      case ReadStatus::kFailed:
        *failure = Failure(Outcome::kOutOfStep,
                           notSent + "reading on " + kDataChannelName +
                               " failed while getting back in step",
                           packet.systemError);
        return false;
      case ReadStatus::kCancelled:
        *failure = Failure(Outcome::kOutOfStep, notSent + "cancelled while getting back in step");
        return false;
      case ReadStatus::kTimedOut:
        if (Clock::now() < deadline) continue;  // quiet for tokenWait_: another token
        *failure = Failure(Outcome::kOutOfStep,
                           notSent + "an earlier command's response is outstanding, and the "
                                     "driver did not answer the command that gets the session "
                                     "back in step in time");
        return false;
      case ReadStatus::kPacket:
        break;
    }
    quietSince_ = Clock::now();
    tokenWait_ = kTokenWait;
    // Each packet on its own: a late full-size response is never joined
    // with the echo that follows it.
    if (Echoes(packet.bytes, pendingToken_)) {
      pendingToken_.clear();
      lostTokens_.clear();
      inStep_ = true;
      return true;
    }
    if (RefusesAsBusy(packet.bytes, pendingToken_)) {
      // The command that timed out is still running: its response is yet
      // to come. Ask again with a fresh token after a pause.
      pendingToken_.clear();
      if (Clock::now() + kBusyPause >= deadline) {
        *failure = Failure(Outcome::kOutOfStep,
                           notSent + "an earlier command is still running on the client");
        return false;
      }
      if (!Pause(kBusyPause)) {
        *failure = Failure(Outcome::kOutOfStep, notSent + "cancelled while getting back in step");
        return false;
      }
      continue;
    }
    const bool lostTokensAnswer =
        std::any_of(lostTokens_.begin(), lostTokens_.end(), [&](const std::string& token) {
          return Echoes(packet.bytes, token) || RefusesAsBusy(packet.bytes, token);
        });
    // Anything else is a response to an earlier command; kept up to the
    // longest response and one packet more, so that a cut one shows.
    if (!lostTokensAnswer && earlier != nullptr && earlier->size() <= kMaxResponseBytes) {
      *earlier += packet.bytes;
    }
    if (Clock::now() >= deadline) {
      *failure = Failure(Outcome::kOutOfStep, notSent + kUnaskedPackets);
      return false;
    }
  }
}

bool Session::Pause(Milliseconds pause) {
  const Clock::time_point end = Clock::now() + pause;
  for (;;) {
    if (Cancelled()) return false;
    const Clock::time_point now = Clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kCancelSlice));
  }
}

bool Session::DropUnasked(Clock::time_point deadline, Reply* failure) {
  for (;;) {
    // A wait of 0: only what is there already.
    const Packet packet = ReadPacket(Clock::now());
    switch (packet.status) {
      case ReadStatus::kTimedOut:
      // A read that does not wait may fail where one that waits works; a
      // channel that failed for good fails the command's write or read.
      case ReadStatus::kFailed:
        return true;
      case ReadStatus::kCancelled:
        *failure = Failure(Outcome::kOutOfStep, "the command was not sent: cancelled");
        return false;
      case ReadStatus::kPacket:
        break;
    }
    // No command asked for it: a client that sends unasked, or the late
    // answer to a token taken for lost. Get back in step before writing.
    inStep_ = false;
    if (Clock::now() >= deadline) {
      *failure = Failure(Outcome::kOutOfStep, std::string("the command was not sent: ") +
                                                  kUnaskedPackets);
      return false;
    }
  }
}

Reply Session::Send(const std::string& command, Milliseconds timeout, Target target) {
  if (!IsOpen()) return Failure(Outcome::kNotSent, "the channels are not open");
  if (command.empty()) return Failure(Outcome::kNotSent, "the command is empty");
  if (command.size() > kMaxCommandBytes) {
    return Failure(Outcome::kNotSent, "the command has " + std::to_string(command.size()) +
                                          " bytes; one packet carries at most " +
                                          std::to_string(kMaxCommandBytes));
  }
  if (timeout.count() <= 0) timeout = kDefaultTimeout;
  const Clock::time_point deadline = Clock::now() + timeout;
  // Until the session is in step and nothing unasked is waiting: what was
  // there before the command was written is never its answer.
  for (;;) {
    Reply failure;
    if (!inStep_ && !GetBackInStep(deadline, &failure, nullptr)) return failure;
    if (!DropUnasked(deadline, &failure)) return failure;
    if (inStep_) break;
  }
  std::uint32_t error = 0;
  const ChannelHandle channel = target == Target::kDataChannel ? data_ : command_;
  const char* channelName = target == Target::kDataChannel ? kDataChannelName : kCommandChannelName;
  if (!WriteAll(channel, command, &error)) {
    return Failure(Outcome::kChannelFailure, "writing on " + std::string(channelName) + " failed",
                   error);
  }
  bool endOpen = false;
  Packet packet = ReadResponse(deadline, &endOpen);
  switch (packet.status) {
    case ReadStatus::kPacket: {
      if (!endOpen) return ParseResponse(packet.bytes);
      // It ended on a full packet and nothing followed in time: more may
      // still come. What arrives before the echo of a token is its rest.
      inStep_ = false;
      Reply failure;
      std::string rest;
      const bool inStep =
          GetBackInStep(std::max(deadline, Clock::now() + kCompletionWait), &failure, &rest);
      std::string response = packet.bytes + rest;
      const bool cut = response.size() > kMaxResponseBytes;
      if (cut) response.resize(kMaxResponseBytes);
      Reply reply = ParseResponse(response);
      if (!inStep || cut) {
        reply.outcome = Outcome::kIncomplete;
        reply.systemError = inStep ? 0 : failure.systemError;
      }
      return reply;
    }
    case ReadStatus::kTimedOut:
      inStep_ = false;
      return Failure(Outcome::kTimedOut, "no response within " + std::to_string(timeout.count()) +
                                             " ms");
    case ReadStatus::kCancelled:
      inStep_ = false;
      return Failure(Outcome::kCancelled, "sent, but the wait for the response was cancelled");
    case ReadStatus::kFailed:
      break;
  }
  return Failure(Outcome::kChannelFailure,
                 "reading on " + std::string(kDataChannelName) + " failed", packet.systemError);
}

}  // namespace qrnclient
