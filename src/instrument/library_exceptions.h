// What a call into the instrument library can end in besides its result,
// wherever the library runs (in this process or in the instrument host).
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace vdqrn {

// The library raised what no runtime of ours can catch (another compiler's
// C++ exception, an abort) and the call was cut short. Outside the standard
// exception family on purpose: its reason cannot be read, so the command is
// answered as any such exception is.
struct LibraryCallCutShort {};

// A standard exception thrown inside the library in the instrument host, with
// its reason (a null reason arrives as the empty text).
class LibraryException : public std::exception {
 public:
  explicit LibraryException(std::string reason) : reason_(std::move(reason)) {}
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string reason_;
};

// An exception of another kind thrown inside the library in the instrument
// host: outside the standard family, as it was there.
struct LibraryOtherException {};

// The instrument host stopped, gave no answer in time or answered what does
// not parse: the command answers this reason, and the library counts as
// unloaded.
class InstrumentHostStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vdqrn
