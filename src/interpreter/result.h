// The outcome of one command: a success flag and a text, and the response
// text the host receives for it ("OK" or "ERROR", then "|text" when there is one).
#pragma once

#include <string>

namespace vdqrn {

class Result {
 public:
  Result();  // success, empty text: the response "OK"
  Result(const std::string& text, bool success);

  bool IsSuccess() const { return success_; }
  const std::string& GetText() const { return text_; }
  std::string ToString() const;

 private:
  bool success_;
  std::string text_;
};

Result TextResult(const std::string& text);
Result ErrorResult(const std::string& text);
Result BoolResult(bool value);  // success with "true" or "false"

}  // namespace vdqrn
