// An in-process stand-in for the platform's channel functions, for the
// client library's tests: packets as the platform carries them (at most
// 4996 data bytes, one per read, discarded when the read's buffer is too
// small), a driver scripted by the test, and a record of every call. Reads
// never wait: an empty channel fails at once as a time-out would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "channel_functions.h"

namespace qrnclient_test {

struct FakeChannels {
  // Answers a command written on a channel with the responses to queue on
  // the data channel (none, one, or more). By default: the driver's own
  // answers to the version keyword, the greeting and unknown names.
  std::function<std::vector<std::string>(const std::string& channel, const std::string& command)>
      driver;
  std::map<std::string, std::uint32_t> openFailures;  // channel name -> error
  std::uint32_t writeFailure = 0;                     // non-zero: every write fails
  std::uint32_t readFailure = 0;  // non-zero: a read of an empty channel fails so

  std::deque<std::string> packets;  // waiting on the data channel
  std::vector<std::string> opened;  // channel names, in order
  std::vector<std::pair<void*, std::uint32_t>> openArguments;  // server, session
  std::vector<std::string> closed;
  std::vector<std::pair<std::string, std::string>> writes;  // channel, bytes
  std::vector<std::uint32_t> readCapacities;
  std::uint32_t lastError = 0;
};

// The fake, fresh for each test.
FakeChannels& Fake();
void ResetFake();
qrnclient::ChannelFunctions FakeFunctions();
// Queues a response as the platform carries it: full packets, then the rest.
void QueueResponse(const std::string& response);
// The answer of the driver to a text it does not know.
std::string UnknownCommandAnswer(const std::string& command);

}  // namespace qrnclient_test
