#include "typed_commands.h"

#include "numbers.h"

namespace qrnclient {

namespace {

std::string Command(const std::string& name, std::initializer_list<long long> parameters) {
  std::string text = name + "|";
  for (const long long parameter : parameters) text += std::to_string(parameter) + "|";
  return text;
}

// Sends the command; on an OK answer reads its text with the reader, which
// sets the value or says what is wrong.
template <typename T, typename Reader>
Answer<T> Ask(Session& session, const std::string& command, Timeout timeout, Reader read) {
  Answer<T> answer;
  answer.reply = session.Send(command, timeout);
  if (answer.reply.IsOk()) {
    answer.value = read(answer.reply.text, &answer.problem);
  }
  return answer;
}

}  // namespace

Answer<long long> AskInteger(Session& session, const std::string& command, Timeout timeout) {
  return Ask<long long>(session, command, timeout, [](const std::string& text, std::string* problem) {
    const auto value = ParseInteger(text);
    if (!value) *problem = "\"" + text + "\" is not an integer";
    return value;
  });
}

Answer<double> AskNumber(Session& session, const std::string& command, Timeout timeout) {
  return Ask<double>(session, command, timeout, [](const std::string& text, std::string* problem) {
    const auto value = ParseNumber(text);
    if (!value) *problem = "\"" + text + "\" is not a number";
    return value;
  });
}

Answer<bool> AskFlag(Session& session, const std::string& command, Timeout timeout) {
  return Ask<bool>(session, command, timeout,
                   [](const std::string& text, std::string* problem) -> std::optional<bool> {
                     if (text == "true") return true;
                     if (text == "false") return false;
                     *problem = "\"" + text + "\" is neither true nor false";
                     return std::nullopt;
                   });
}

Answer<long long> Angles(Session& session, Timeout timeout) {
  return AskInteger(session, "GetAngles", timeout);
}

Answer<long long> Wavelengths(Session& session, Timeout timeout) {
  return AskInteger(session, "GetWavelengths", timeout);
}

Answer<long long> WavelengthValue(Session& session, int index, Timeout timeout) {
  return AskInteger(session, Command("GetWavelengthValue", {index}), timeout);
}

Answer<double> SpectralData(Session& session, int angle, int index, Timeout timeout) {
  return AskNumber(session, Command("GetSpectralData", {angle, index}), timeout);
}

Answer<std::vector<double>> SpectralDataAll(Session& session, int angle, Timeout timeout) {
  return Ask<std::vector<double>>(
      session, Command("GetSpectralDataAll", {angle}), timeout,
      [](const std::string& text, std::string* problem) -> std::optional<std::vector<double>> {
        const std::vector<std::string> items = SplitList(text, ';');
        if (items.size() != kSpectralValueCount) {
          *problem = std::to_string(items.size()) + " values instead of " +
                     std::to_string(kSpectralValueCount);
          return std::nullopt;
        }
        std::vector<double> values;
        for (const std::string& item : items) {
          const auto value = ParseNumber(item);
          if (!value) {
            *problem = "\"" + item + "\" is not a number";
            return std::nullopt;
          }
          values.push_back(*value);
        }
        return values;
      });
}

Answer<std::vector<std::string>> CalibrationSteps(Session& session, Timeout timeout,
                                                  char separator) {
  return Ask<std::vector<std::string>>(
      session, "GetCalSteps", timeout,
      [separator](const std::string& text, std::string*) -> std::optional<std::vector<std::string>> {
        return SplitList(text, separator);
      });
}

Answer<std::string> DriverVersion(Session& session, Timeout timeout) {
  Answer<std::string> answer;
  answer.reply = session.Send("QuarnClientDriverVersion", timeout);
  if (answer.reply.outcome == Outcome::kOther) {
    answer.value = answer.reply.text;
  } else if (answer.reply.Answered()) {
    answer.problem = "the driver answered with " + std::string(OutcomeName(answer.reply.outcome)) +
                     " instead of its version";
  }
  return answer;
}

}  // namespace qrnclient
