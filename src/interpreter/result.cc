#include "interpreter/result.h"

namespace vdqrn {

Result::Result() : success_(true) {}

Result::Result(const std::string& text, bool success) : success_(success), text_(text) {}

std::string Result::ToString() const {
  std::string response = success_ ? "OK" : "ERROR";
  if (!text_.empty()) {
    response += '|';
    response += text_;
  }
  return response;
}

Result TextResult(const std::string& text) { return Result(text, true); }

Result ErrorResult(const std::string& text) { return Result(text, false); }

Result BoolResult(bool value) { return Result(value ? "true" : "false", true); }

}  // namespace vdqrn
