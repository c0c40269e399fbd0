#include "interpreter/result.h"

Result::Result() : success(true) {}

Result::Result(const std::string& text_in, bool success_in)
    : success(success_in), text(text_in) {}

std::string Result::ToString() const {
  std::string response = success ? "OK" : "ERROR";
  if (!text.empty()) {
    response += '|';
    response += text;
  }
  return response;
}

Result TextResult(const std::string& text) { return Result(text, true); }

Result ErrorResult(const std::string& text) { return Result(text, false); }

Result BoolResult(bool value) { return Result(value ? "true" : "false", true); }
