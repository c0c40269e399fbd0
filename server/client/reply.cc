#include "reply.h"

namespace qrnclient {

Reply ParseResponse(const std::string& response) {
  Reply reply;
  reply.raw = response;
  const auto split = [&](const std::string& word, Outcome outcome) {
    if (response == word) {
      reply.outcome = outcome;
      return true;
    }
    if (response.compare(0, word.size() + 1, word + "|") == 0) {
      reply.outcome = outcome;
      reply.text = response.substr(word.size() + 1);
      return true;
    }
    return false;
  };
  if (split("OK", Outcome::kOk) || split("ERROR", Outcome::kError)) return reply;
  reply.outcome = Outcome::kOther;
  reply.text = response;
  return reply;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "OK";
    case Outcome::kError: return "ERROR";
    case Outcome::kOther: return "answered";
    case Outcome::kTimedOut: return "timed out";
    case Outcome::kNotSent: return "not sent";
    case Outcome::kChannelFailure: return "channel failure";
    case Outcome::kIncomplete: return "maybe incomplete";
    case Outcome::kOutOfStep: return "not sent, out of step";
    case Outcome::kCancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace qrnclient
