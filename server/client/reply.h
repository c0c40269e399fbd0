// What came back for one command: the driver's response split into its
// kind and text, or why there is none.
#pragma once

#include <cstdint>
#include <string>

namespace qrnclient {

enum class Outcome {
  kOk,              // "OK" or "OK|text"
  kError,           // "ERROR" or "ERROR|text": the driver refused the command
  kOther,           // any other text (the version keyword's answer is bare)
  kTimedOut,        // no response within the time-out
  kNotSent,         // refused before sending: too long, empty, or no channels
  kChannelFailure,  // the platform's channel functions failed
  kIncomplete,      // a response that ended on a full packet whose rest did not come in time
  kOutOfStep,       // not sent: the session did not get back in step first
  kCancelled,       // sent, but the wait was ended from another thread
};

struct Reply {
  Outcome outcome = Outcome::kNotSent;
  // kOk, kError, kIncomplete: the text after "OK|" / "ERROR|" (empty
  // without one); kOther: the whole response; otherwise why there is none.
  std::string text;
  // The response exactly as it came (kIncomplete: as much as came); empty
  // when none came.
  std::string raw;
  // kChannelFailure: the platform's error number.
  std::uint32_t systemError = 0;

  bool IsOk() const { return outcome == Outcome::kOk; }
  // Whether the driver answered at all.
  bool Answered() const {
    return outcome == Outcome::kOk || outcome == Outcome::kError || outcome == Outcome::kOther;
  }
};

// Splits a response text into its kind and text.
Reply ParseResponse(const std::string& response);

// The outcome's name, for messages ("OK", "ERROR", "timed out"...).
const char* OutcomeName(Outcome outcome);

}  // namespace qrnclient
