// The client library's session against the in-process fake of the
// platform's channel functions: opening, the packet rules, getting back in
// step after a time-out, and the typed answers.
#include <gtest/gtest.h>

#include <cmath>

#include "fake_channels.h"
#include "platform/platform.h"
#include "session.h"
#include "typed_commands.h"

namespace qrnclient_test {
namespace {

using qrnclient::Outcome;
using qrnclient::Session;
using std::chrono::milliseconds;

constexpr milliseconds kTimeout{200};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFake();
    session_.SetJoinWait(milliseconds(0));
  }
  void Open() { ASSERT_TRUE(session_.Open().ok); }

  Session session_{FakeFunctions()};
};

TEST_F(SessionTest, OpensBothChannelsOfTheCurrentSessionOrNone) {
  Open();
  EXPECT_EQ(Fake().opened, (std::vector<std::string>{"QrnCmd1", "QrnDta1"}));
  for (const auto& [server, sessionId] : Fake().openArguments) {
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(sessionId, 0xFFFFFFFFu);
  }
  session_.Close();

  ResetFake();
  Fake().openFailures["QrnDta1"] = 5;
  const qrnclient::OpenResult refused = session_.Open();
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.failedChannel, "QrnDta1");
  EXPECT_EQ(refused.systemError, 5u);
  EXPECT_TRUE(refused.accessDenied);
  EXPECT_EQ(Fake().closed, (std::vector<std::string>{"QrnCmd1"}));
  EXPECT_FALSE(session_.IsOpen());
  EXPECT_EQ(session_.Send("Hello", kTimeout).outcome, Outcome::kNotSent);

  ResetFake();
  Fake().openFailures["QrnCmd1"] = 2;
  EXPECT_FALSE(session_.Open().accessDenied);
}

TEST_F(SessionTest, SplitsEachResponseIntoItsKindAndText) {
  struct Case {
    std::string response;
    Outcome outcome;
    std::string text;
  };
  const Case cases[] = {
      {"OK", Outcome::kOk, ""},
      {"OK|", Outcome::kOk, ""},
      {"OK|true", Outcome::kOk, "true"},
      {"OK|a|b;c", Outcome::kOk, "a|b;c"},
      {"ERROR", Outcome::kError, ""},
      {"ERROR|No driver loaded", Outcome::kError, "No driver loaded"},
      {"1.5.0", Outcome::kOther, "1.5.0"},
      {"OKAY", Outcome::kOther, "OKAY"},
      {"ERRORS|x", Outcome::kOther, "ERRORS|x"},
  };
  Open();
  for (const Case& c : cases) {
    Fake().driver = [&](const std::string&, const std::string&) {
      return std::vector<std::string>{c.response};
    };
    const qrnclient::Reply reply = session_.Send("Any", kTimeout);
    EXPECT_EQ(reply.outcome, c.outcome) << c.response;
    EXPECT_EQ(reply.text, c.text) << c.response;
    EXPECT_EQ(reply.raw, c.response);
  }
}

TEST_F(SessionTest, SendsOnTheCommandChannelUnlessToldOtherwise) {
  Open();
  session_.Send("Hello", kTimeout);
  session_.Send("Hello|data|", kTimeout, qrnclient::Target::kDataChannel);
  ASSERT_EQ(Fake().writes.size(), 2u);
  EXPECT_EQ(Fake().writes[0].first, "QrnCmd1");
  EXPECT_EQ(Fake().writes[1].first, "QrnDta1");
  EXPECT_EQ(Fake().writes[1].second, "Hello|data|");
}

TEST_F(SessionTest, ACommandThatWouldArriveAsTwoIsNeverSent) {
  Open();
  const std::string longest = "Execute|" + std::string(4996 - 9, 'x') + "|";
  ASSERT_EQ(longest.size(), 4996u);
  EXPECT_EQ(session_.Send(longest, kTimeout).outcome, Outcome::kError);  // unknown to the fake
  const qrnclient::Reply tooLong = session_.Send(longest + "y", kTimeout);
  EXPECT_EQ(tooLong.outcome, Outcome::kNotSent);
  EXPECT_NE(tooLong.text.find("4997"), std::string::npos);
  EXPECT_EQ(session_.Send("", kTimeout).outcome, Outcome::kNotSent);
  EXPECT_EQ(Fake().writes.size(), 1u);
}

TEST_F(SessionTest, ReadsOnlyWithABufferForTheLargestPacket) {
  Open();
  QueueResponse("OK|stale");  // whatever is waiting, the buffer is whole
  session_.Send("Hello", kTimeout);
  session_.Send("Nothing", milliseconds(0));
  ASSERT_FALSE(Fake().readCapacities.empty());
  for (const auto capacity : Fake().readCapacities) EXPECT_GE(capacity, 5000u);
}

TEST_F(SessionTest, AResponseOfFullPacketsAndAShorterOneArrivesWhole) {
  Open();
  for (const std::size_t length : {std::size_t{4996}, std::size_t{6000}, std::size_t{9992},
                                   std::size_t{12000}}) {
    const std::string response = "OK|" + std::string(length - 3, 'v');
    Fake().driver = [&](const std::string&, const std::string& command) {
      return std::vector<std::string>{command == "GetAvailableSettings"
                                          ? response
                                          : UnknownCommandAnswer(command)};
    };
    const qrnclient::Reply reply = session_.Send("GetAvailableSettings", kTimeout);
    EXPECT_EQ(reply.outcome, Outcome::kOk) << length;
    EXPECT_EQ(reply.raw.size(), length);
    EXPECT_TRUE(Fake().packets.empty()) << length;
  }
}

TEST_F(SessionTest, AfterATimeOutTheLateResponseIsNeverTakenForTheNextCommands) {
  Open();
  // Measure answers late: its response comes only after the next write.
  bool measured = false;
  Fake().driver = [&](const std::string&, const std::string& command) {
    std::vector<std::string> responses;
    if (measured) {
      responses.push_back("OK|true");  // Measure's, late
      measured = false;
    }
    if (command == "Measure") {
      measured = true;
      return responses;
    }
    responses.push_back(command == "Connect" ? "OK|false" : UnknownCommandAnswer(command));
    return responses;
  };
  const qrnclient::Reply timedOut = session_.Send("Measure", milliseconds(20));
  EXPECT_EQ(timedOut.outcome, Outcome::kTimedOut);
  EXPECT_FALSE(session_.InStep());

  const qrnclient::Reply connect = session_.Send("Connect", kTimeout);
  EXPECT_EQ(connect.raw, "OK|false");
  EXPECT_TRUE(session_.InStep());
  // The token went first, on the command channel, as an unknown name.
  ASSERT_EQ(Fake().writes.size(), 3u);
  EXPECT_EQ(Fake().writes[1].first, "QrnCmd1");
  EXPECT_EQ(Fake().writes[1].second.rfind("QrnSync", 0), 0u);
  EXPECT_EQ(Fake().writes[1].second.find('|'), std::string::npos);
  EXPECT_EQ(Fake().writes[2].second, "Connect");
}

TEST_F(SessionTest, AStillRunningCommandIsWaitedForWithAFreshToken) {
  Open();
  int tokens = 0;
  Fake().driver = [&](const std::string&, const std::string& command) -> std::vector<std::string> {
    if (command == "Calibrate") return {};
    if (command.rfind("QrnSync", 0) == 0) {
      // The first token arrives while Calibrate still runs.
      if (++tokens == 1) return {"ERROR|Command \"" + command + "\" refused, another command is still running"};
      return {"OK|true", UnknownCommandAnswer(command)};
    }
    return {"OK|" + command};
  };
  EXPECT_EQ(session_.Send("Calibrate", milliseconds(10)).outcome, Outcome::kTimedOut);
  EXPECT_EQ(session_.Send("GetCalStatus", milliseconds(1000)).raw, "OK|GetCalStatus");
  EXPECT_EQ(tokens, 2);
  const std::string first = Fake().writes[1].second;
  const std::string second = Fake().writes[2].second;
  EXPECT_NE(first, second);
}

TEST_F(SessionTest, ADriverThatNeverAnswersLeavesTheSessionOutOfStep) {
  Open();
  Fake().driver = [](const std::string&, const std::string&) { return std::vector<std::string>{}; };
  EXPECT_EQ(session_.Send("Hello", milliseconds(5)).outcome, Outcome::kTimedOut);
  // Not sent, and said so: nothing but the one token went out.
  const qrnclient::Reply again = session_.Send("Hello", milliseconds(20));
  EXPECT_EQ(again.outcome, Outcome::kOutOfStep);
  EXPECT_NE(again.text.find("not sent"), std::string::npos);
  EXPECT_FALSE(session_.InStep());
  EXPECT_EQ(session_.Send("Hello", milliseconds(20)).outcome, Outcome::kOutOfStep);
  ASSERT_EQ(Fake().writes.size(), 2u);
  EXPECT_EQ(Fake().writes[1].second.rfind("QrnSync", 0), 0u);
}

TEST_F(SessionTest, AResponseEndingOnAFullPacketIsWholeOnlyWhenTheDriverSaysSo) {
  Open();
  // Exactly one full packet, and nothing more to come: the token's echo
  // follows it directly, and the answer is whole.
  const std::string exact = "OK|" + std::string(4993, 'e');
  Fake().driver = [&](const std::string&, const std::string& command) {
    return std::vector<std::string>{command == "Execute|x|" ? exact : UnknownCommandAnswer(command)};
  };
  const qrnclient::Reply reply = session_.Send("Execute|x|", kTimeout);
  EXPECT_EQ(reply.outcome, Outcome::kOk);
  EXPECT_EQ(reply.raw, exact);
  EXPECT_TRUE(session_.InStep());

  // No echo either: the answer may be incomplete, and the session stays out
  // of step until the echo of that same token comes.
  Fake().driver = [&](const std::string&, const std::string& command) {
    return command == "Execute|x|" ? std::vector<std::string>{exact} : std::vector<std::string>{};
  };
  const qrnclient::Reply cut = session_.Send("Execute|x|", milliseconds(20));
  EXPECT_EQ(cut.outcome, Outcome::kIncomplete);
  EXPECT_EQ(cut.raw, exact);
  EXPECT_FALSE(session_.InStep());
  const std::string token = Fake().writes.back().second;
  ASSERT_EQ(token.rfind("QrnSync", 0), 0u);
  QueueResponse("tail");
  QueueResponse(UnknownCommandAnswer(token));
  Fake().driver = [](const std::string&, const std::string&) {
    return std::vector<std::string>{"OK|Hello"};
  };
  EXPECT_EQ(session_.Send("Hello", kTimeout).raw, "OK|Hello");
  EXPECT_EQ(Fake().writes.back().second, "Hello");  // no second token
}

TEST_F(SessionTest, ABrokenChannelIsAFailureAlsoForAReadThatDoesNotWait) {
  Open();
  // A full packet, then the channel breaks: the read for its rest (which
  // does not wait here) fails, and that is no time-out.
  Fake().driver = [](const std::string&, const std::string&) {
    return std::vector<std::string>{"OK|" + std::string(4993, 'p')};
  };
  Fake().readFailure = 109;
  const qrnclient::Reply reply = session_.Send("Hello", kTimeout);
  EXPECT_EQ(reply.outcome, Outcome::kChannelFailure);
  EXPECT_EQ(reply.systemError, 109u);
}

TEST(ChannelLibrary, AFailedLoadKeepsTheLoadersWords) {
  EXPECT_EQ(vdqrn::platform::LoadDynamicLibrary("no-such-channel-library.so"), nullptr);
#if defined(_WIN32)
  // The system's message for its error number, and the number.
  EXPECT_NE(vdqrn::platform::LastLoadError().find("(error 126)"), std::string::npos)
      << vdqrn::platform::LastLoadError();
#else
  EXPECT_NE(vdqrn::platform::LastLoadError().find("no-such-channel-library.so"), std::string::npos);
#endif
}

TEST_F(SessionTest, AFailedWriteCarriesTheSystemsReason) {
  Open();
  Fake().writeFailure = 109;
  const qrnclient::Reply reply = session_.Send("Hello", kTimeout);
  EXPECT_EQ(reply.outcome, Outcome::kChannelFailure);
  EXPECT_EQ(reply.systemError, 109u);
}

TEST_F(SessionTest, TypedAnswersReadTheDriversNumberForms) {
  Open();
  std::string spectral;
  for (int i = 0; i < 31; ++i) {
    static const char* const forms[] = {"0.874562", "1e+07", "1.5e-05", "-0", "inf", "-inf", "nan"};
    spectral += std::string(i ? ";" : "") + forms[i % 7];
  }
  Fake().driver = [&](const std::string&, const std::string& command) -> std::vector<std::string> {
    if (command == "GetSpectralDataAll|0|") return {"OK|" + spectral};
    if (command == "GetSpectralDataAll|1|") return {"OK|1;2;3"};
    if (command == "GetAngles") return {"OK|3"};
    if (command == "GetWavelengthValue|2|") return {"OK|12abc"};
    if (command == "GetSpectralData|0|5|") return {"OK|0.1234568"};
    if (command == "GetCalSteps") return {"OK|White;Black"};
    if (command == "Connect") return {"OK|true"};
    return {"ERROR|No driver loaded"};
  };
  const auto all = qrnclient::SpectralDataAll(session_, 0, kTimeout);
  ASSERT_TRUE(all.Ok()) << all.problem;
  EXPECT_DOUBLE_EQ((*all.value)[0], 0.874562);
  EXPECT_DOUBLE_EQ((*all.value)[1], 1e7);
  EXPECT_DOUBLE_EQ((*all.value)[2], 1.5e-5);
  EXPECT_TRUE(std::isinf((*all.value)[4]) && (*all.value)[4] > 0);
  EXPECT_TRUE(std::isinf((*all.value)[5]) && (*all.value)[5] < 0);
  EXPECT_TRUE(std::isnan((*all.value)[6]));

  const auto three = qrnclient::SpectralDataAll(session_, 1, kTimeout);
  EXPECT_FALSE(three.Ok());
  EXPECT_EQ(three.problem, "3 values instead of 31");

  EXPECT_EQ(qrnclient::Angles(session_, kTimeout).value, 3);
  const auto wavelength = qrnclient::WavelengthValue(session_, 2, kTimeout);
  EXPECT_FALSE(wavelength.Ok());
  EXPECT_EQ(wavelength.reply.outcome, Outcome::kOk);
  EXPECT_DOUBLE_EQ(*qrnclient::SpectralData(session_, 0, 5, kTimeout).value, 0.1234568);
  EXPECT_EQ(*qrnclient::CalibrationSteps(session_, kTimeout).value,
            (std::vector<std::string>{"White", "Black"}));
  EXPECT_EQ(qrnclient::AskFlag(session_, "Connect", kTimeout).value, true);
  const auto refused = qrnclient::Wavelengths(session_, kTimeout);
  EXPECT_FALSE(refused.Ok());
  EXPECT_EQ(refused.reply.outcome, Outcome::kError);
  EXPECT_EQ(qrnclient::DriverVersion(session_, kTimeout).value, std::nullopt);
}

}  // namespace
}  // namespace qrnclient_test
