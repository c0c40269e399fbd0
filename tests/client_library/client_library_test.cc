// The client library's C interface as a host application calls it, through
// the channel stand-in over TCP to a scripted peer that sets the packet
// timing exactly: responses split by a slow link, late responses, bare
// answers to typed calls, tiny time-outs, two threads on one session, and a
// close while another thread waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qrnclient.h"
#include "scripted_peer.h"
#include "standin_address.h"

namespace qrnclient_test {
namespace {

using std::chrono::milliseconds;

std::vector<TimedPacket> Now(const std::string& bytes) { return {{milliseconds(0), bytes}}; }

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// The text qrn_send gives, and its status.
struct Sent {
  int status;
  std::string text;
};

Sent Send(qrn_session* session, const std::string& command, unsigned timeoutMs) {
  std::vector<char> text(20000);
  size_t length = 0;
  const int status = qrn_send(session, command.c_str(), -1, 0, timeoutMs, text.data(),
                              text.size(), &length);
  return {status, std::string(text.data(), length < text.size() ? length : 0)};
}

std::string LastAnswer(qrn_session* session) {
  size_t length = 0;
  EXPECT_EQ(qrn_last_answer(session, nullptr, 0, &length), QRN_OK);
  std::vector<char> text(length + 1);
  EXPECT_EQ(qrn_last_answer(session, text.data(), text.size(), &length), QRN_OK);
  return std::string(text.data(), length);
}

class ClientLibrary : public ::testing::Test {
 protected:
  // Starts the peer with the script (unknown names echoed as the driver
  // does) and opens a session through the stand-in.
  void Open(std::function<std::vector<TimedPacket>(const std::string&)> script,
            WhileRunning whileRunning = WhileRunning::kScripted) {
    peer_ = std::make_unique<ScriptedPeer>([script](const std::string& command) {
      std::vector<TimedPacket> packets = script(command);
      return packets.empty() && command.rfind("QrnSync", 0) == 0 ? UnknownCommand(command) : packets;
    }, whileRunning);
    vdqrn::SetStandInAddress(peer_->Address());
    ASSERT_EQ(qrn_open(&session_), QRN_OK) << qrn_open_problem();
  }
  void TearDown() override {
    if (session_ != nullptr) qrn_close(session_);
    peer_.reset();
  }
  int Tokens() const {
    int tokens = 0;
    for (const std::string& command : peer_->Commands()) tokens += command.rfind("QrnSync", 0) == 0;
    return tokens;
  }

  std::unique_ptr<ScriptedPeer> peer_;
  qrn_session* session_ = nullptr;
};

const std::string kFirstPart = "OK|" + std::string(4993, 'a');  // one full packet

TEST_F(ClientLibrary, AResponseSplitByASlowLinkNeverBecomesTheNextCommandsAnswer) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "GetAvailableSettings") return {{milliseconds(0), kFirstPart}, {milliseconds(400), "TAIL"}};
    if (command == "GetOption|late|") return {{milliseconds(0), kFirstPart}, {milliseconds(3000), "LATE"}};
    if (command == "Hello") return Now("OK|Hello");
    if (command == "GetAngles") return Now("OK|3");
    return {};
  });
  // The rest 400 ms after a full packet: the whole answer, in step.
  const Sent whole = Send(session_, "GetAvailableSettings", 5000);
  EXPECT_EQ(whole.status, QRN_OK);
  EXPECT_EQ(whole.text, std::string(4993, 'a') + "TAIL");
  EXPECT_EQ(Send(session_, "Hello", 5000).text, "Hello");
  EXPECT_EQ(Send(session_, "GetAngles", 5000).text, "3");

  // A rest later than the library waits: a status of its own, and what
  // follows it is never taken for the next command's answer.
  const Sent cut = Send(session_, "GetOption|late|", 300);
  EXPECT_EQ(cut.status, QRN_INCOMPLETE_ANSWER);
  EXPECT_EQ(cut.text, std::string(4993, 'a'));
  const Sent hello = Send(session_, "Hello", 5000);
  EXPECT_EQ(hello.status, QRN_OK);
  EXPECT_EQ(hello.text, "Hello");
  EXPECT_EQ(Send(session_, "GetAngles", 5000).text, "3");
}

TEST_F(ClientLibrary, ALateFullSizeResponseIsNotJoinedWithTheEchoThatFollowsIt) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Measure") return {{milliseconds(300), kFirstPart}};
    if (command == "Hello") return Now("OK|Hello");
    return {};
  });
  EXPECT_EQ(Send(session_, "Measure", 100).status, QRN_TIMED_OUT);
  const Sent hello = Send(session_, "Hello", 3000);
  EXPECT_EQ(hello.status, QRN_OK);
  EXPECT_EQ(hello.text, "Hello");
}

TEST_F(ClientLibrary, TypedCallsWriteAValueOrSayWhyNot) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "QuarnClientDriverVersion" || command == "GetSpectralDataAll|0|") return Now("1.5.0");
    if (command == "GetAngles") return Now("ERROR|No driver loaded");
    if (command == "GetWavelengths") return Now("OK|12abc");
    if (command == "IsConnected") return Now("OK|true");
    return {};
  });
  double number = -7;
  int flag = -7;
  double values[QRN_SPECTRAL_VALUES] = {-7};
  EXPECT_EQ(qrn_ask_number(session_, "QuarnClientDriverVersion", 2000, &number), QRN_BAD_ANSWER);
  EXPECT_EQ(number, -7);
  EXPECT_EQ(LastAnswer(session_), "1.5.0");
  EXPECT_EQ(qrn_ask_flag(session_, "QuarnClientDriverVersion", 2000, &flag), QRN_BAD_ANSWER);
  EXPECT_EQ(flag, -7);
  EXPECT_EQ(qrn_spectral_data_all(session_, 0, 2000, values), QRN_BAD_ANSWER);
  EXPECT_EQ(values[0], -7);

  // The driver's reason and the text that did not parse stay readable.
  EXPECT_EQ(qrn_ask_number(session_, "GetAngles", 2000, &number), QRN_ERROR_ANSWER);
  EXPECT_EQ(LastAnswer(session_), "ERROR|No driver loaded");
  EXPECT_EQ(qrn_ask_number(session_, "GetWavelengths", 2000, &number), QRN_BAD_ANSWER);
  EXPECT_EQ(LastAnswer(session_), "OK|12abc");
  EXPECT_EQ(qrn_ask_flag(session_, "IsConnected", 2000, &flag), QRN_OK);
  EXPECT_EQ(flag, 1);
}

TEST_F(ClientLibrary, ACutTextSaysTooLongAndTheWholeAnswerCanBeHad) {
  const std::string reason(300, 'r');
  Open([&](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "GetLastErrorString") return Now("ERROR|" + reason);
    return {};
  });
  char small[10];
  size_t length = 0;
  EXPECT_EQ(qrn_send(session_, "GetLastErrorString", -1, 0, 2000, small, sizeof small, &length),
            QRN_TEXT_TOO_LONG);
  EXPECT_EQ(length, reason.size());
  EXPECT_EQ(std::string(small), reason.substr(0, 9));
  EXPECT_EQ(LastAnswer(session_), "ERROR|" + reason);
  EXPECT_EQ(qrn_last_answer(session_, small, sizeof small, &length), QRN_TEXT_TOO_LONG);
  // Its size first, with no buffer: the status is the answer's.
  EXPECT_EQ(qrn_send(session_, "GetLastErrorString", -1, 0, 2000, nullptr, 0, &length),
            QRN_ERROR_ANSWER);
  EXPECT_EQ(length, reason.size());
}

TEST_F(ClientLibrary, ATimeOutOfZeroIsTheDefaultAndTinyOnesDoNotFloodTheDriver) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Hello") return {{milliseconds(50), "OK|Hello"}};
    if (command == "Slow") return {{milliseconds(40), "OK|Slow"}};
    return {};
  });
  EXPECT_EQ(Send(session_, "Hello", 0).status, QRN_OK);

  int sent = 0;
  for (int call = 0; call < 30; ++call) {
    const int status = Send(session_, "Slow", 1).status;
    EXPECT_TRUE(status == QRN_TIMED_OUT || status == QRN_OUT_OF_STEP) << qrn_status_name(status);
    sent += status == QRN_TIMED_OUT;
    std::this_thread::sleep_for(milliseconds(5));
  }
  // Each time-out needs one token at most, and the session does get back
  // in step between 1 ms calls.
  EXPECT_GE(sent, 2);
  EXPECT_LE(Tokens(), sent);
  const Sent last = Send(session_, "Slow", 3000);
  EXPECT_EQ(last.status, QRN_OK);
  EXPECT_EQ(last.text, "Slow");
}

TEST_F(ClientLibrary, ASecondThreadIsRefusedAndNeverGetsAnotherThreadsAnswer) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command.rfind("Echo|", 0) == 0) return {{milliseconds(1), "OK|" + command.substr(5)}};
    return {};
  });
  std::atomic<int> mismatches{0};
  std::atomic<int> answered{0};
  std::atomic<int> refused{0};
  const auto run = [&](int thread) {
    for (int i = 0; i < 150; ++i) {
      const std::string mine = std::to_string(thread * 1000 + i);
      const Sent sent = Send(session_, "Echo|" + mine, 5000);
      if (sent.status == QRN_BUSY) {
        ++refused;
      } else if (sent.status == QRN_OK && sent.text == mine) {
        ++answered;
      } else {
        ++mismatches;
      }
    }
  };
  std::thread first(run, 1);
  std::thread second(run, 2);
  first.join();
  second.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(answered, 0);
  EXPECT_EQ(answered + refused, 300);
}

TEST_F(ClientLibrary, CancelAndCloseEndAWaitOnAnotherThread) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Hello") return Now("OK|Hello");
    return command == "Measure" ? std::vector<TimedPacket>{} : std::vector<TimedPacket>{};
  });
  std::atomic<int> status{-1};
  std::thread waiting([&] { status = Send(session_, "Measure", 120000).status; });
  std::this_thread::sleep_for(milliseconds(200));
  // A second call meanwhile is refused, nothing sent.
  EXPECT_EQ(Send(session_, "Hello", 1000).status, QRN_BUSY);
  EXPECT_EQ(qrn_cancel(session_), QRN_OK);
  waiting.join();
  EXPECT_EQ(status, QRN_CANCELLED);
  EXPECT_EQ(Send(session_, "Hello", 3000).text, "Hello");

  std::thread closing([&] { status = Send(session_, "Measure", 120000).status; });
  std::this_thread::sleep_for(milliseconds(200));
  qrn_close(session_);  // returns once the waiting call has returned
  session_ = nullptr;
  EXPECT_EQ(status, QRN_CANCELLED);
  closing.join();
}

// A cancel is never lost: one that comes while no call waits ends the next
// call before it writes anything, and only that one; racing a call's start,
// it ends that call. A lost one would leave the call to its time-out.
TEST_F(ClientLibrary, ACancelEndsTheCallRunningOrTheNextOneOnly) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Hello") return Now("OK|Hello");
    return {};  // Measure: never answered
  });
  EXPECT_EQ(qrn_cancel(session_), QRN_OK);
  EXPECT_EQ(qrn_cancel(session_), QRN_OK);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(session_, "Measure", 5000).status, QRN_OUT_OF_STEP);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(Send(session_, "Hello", 3000).text, "Hello");
  EXPECT_EQ(peer_->Commands(), std::vector<std::string>{"Hello"}) << "Measure was written";

  for (int round = 0; round < 40; ++round) {
    std::atomic<int> ready{0};
    std::thread canceller([&] {
      ++ready;
      while (ready < 2) {
      }
      if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(round * 5));
      qrn_cancel(session_);
    });
    ++ready;
    while (ready < 2) {
    }
    const auto called = std::chrono::steady_clock::now();
    const int status = Send(session_, "Measure", 1500).status;
    canceller.join();
    EXPECT_TRUE(status == QRN_CANCELLED || status == QRN_OUT_OF_STEP)
        << round << ": " << qrn_status_name(status);
    EXPECT_LT(MsSince(called), 1200) << round;
  }
  const Sent hello = Send(session_, "Hello", 3000);
  EXPECT_EQ(hello.status, QRN_OK) << hello.text;
}

// A client that sends what no command asked for: a second packet after an
// answer, then a flood. Nothing that came before a command was written is
// taken for its answer; while the flood lasts the command is not sent, and
// once it is over the session is back in step by itself.
TEST_F(ClientLibrary, PacketsNoCommandAskedForAreNeverAnAnswer) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Hello") return {{milliseconds(0), "OK|Hello"}, {milliseconds(100), "OK|2"}};
    if (command == "Flood") {
      return {{milliseconds(0), "OK|Flood"}, {milliseconds(50), "OK|1", 20000}};
    }
    if (command == "GetAngles") return Now("OK|3");
    return {};
  });
  EXPECT_EQ(Send(session_, "Hello", 3000).text, "Hello");
  std::this_thread::sleep_for(milliseconds(300));
  Sent angles = Send(session_, "GetAngles", 3000);
  EXPECT_EQ(angles.status, QRN_OK);
  EXPECT_EQ(angles.text, "3");

  EXPECT_EQ(Send(session_, "Flood", 3000).text, "Flood");
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  do {
    angles = Send(session_, "GetAngles", 500);
    if (angles.status == QRN_OK) {
      EXPECT_EQ(angles.text, "3");
    }
    EXPECT_TRUE(angles.status == QRN_OK || angles.status == QRN_OUT_OF_STEP)
        << qrn_status_name(angles.status) << " " << angles.text;
  } while (angles.status != QRN_OK && MsSince(start) < 20000);
  EXPECT_EQ(angles.text, "3");
  EXPECT_EQ(Send(session_, "GetAngles", 3000).text, "3");
}

// Full packets without end: the library keeps 16 MiB of one response, says
// it is incomplete, and is back in step for the next command.
TEST_F(ClientLibrary, AResponseWithoutEndIsCutAndSaidToBeIncomplete) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "Execute|dump|") return {{milliseconds(0), kFirstPart, 4000}};
    if (command == "Hello") return Now("OK|Hello");
    return {};
  });
  size_t length = 0;
  EXPECT_EQ(qrn_send(session_, "Execute|dump|", -1, 0, 20000, nullptr, 0, &length),
            QRN_INCOMPLETE_ANSWER);
  EXPECT_EQ(length, (16u << 20) - 3);
  EXPECT_EQ(Send(session_, "Hello", 20000).text, "Hello");
}

// The driver answers a token that comes while a command runs as busy: after
// that command's answer in high-performance mode, not at all in normal mode.
// Either way the session gets back in step once the client is idle, within
// one call or over many short ones, and writes few tokens meanwhile.
class TokensWhileRunning : public ClientLibrary,
                           public ::testing::WithParamInterface<WhileRunning> {};

TEST_P(TokensWhileRunning, TheSessionGetsBackInStepOnceTheClientIsIdle) {
  Open(
      [](const std::string& command) -> std::vector<TimedPacket> {
        if (command == "Measure") return {{milliseconds(1500), "OK|true"}};
        if (command == "Hello") return Now("OK|Hello");
        return {};
      },
      GetParam());
  EXPECT_EQ(Send(session_, "Measure", 100).status, QRN_TIMED_OUT);
  const Sent hello = Send(session_, "Hello", 5000);
  EXPECT_EQ(hello.status, QRN_OK) << hello.text;
  EXPECT_EQ(hello.text, "Hello");
  EXPECT_LE(Tokens(), 4);

  const int tokensBefore = Tokens();
  EXPECT_EQ(Send(session_, "Measure", 100).status, QRN_TIMED_OUT);
  const auto start = std::chrono::steady_clock::now();
  Sent quick{-1, ""};
  while (quick.status != QRN_OK && MsSince(start) < 6000) {
    quick = Send(session_, "Hello", 100);
  }
  EXPECT_EQ(quick.status, QRN_OK) << quick.text;
  EXPECT_LT(MsSince(start), 4500);
  EXPECT_LE(Tokens() - tokensBefore, 4);
}

INSTANTIATE_TEST_SUITE_P(Modes, TokensWhileRunning,
                         ::testing::Values(WhileRunning::kBusyAfter, WhileRunning::kBusyDropped),
                         [](const ::testing::TestParamInfo<WhileRunning>& mode) {
                           return std::string(mode.param == WhileRunning::kBusyAfter
                                                  ? "HighPerformanceMode"
                                                  : "NormalMode");
                         });

TEST_F(ClientLibrary, AFailedOpenLeavesItsErrorNumberAndAdvice) {
  // A port that was free a moment ago: nothing listens.
  std::string address;
  {
    ScriptedPeer gone([](const std::string&) { return std::vector<TimedPacket>{}; });
    address = gone.Address();
  }
  vdqrn::SetStandInAddress(address);
  qrn_session* session = nullptr;
  EXPECT_EQ(qrn_open(&session), QRN_OPEN_FAILED);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(qrn_system_error(nullptr), 1225u);
  EXPECT_NE(std::string(qrn_open_problem()).find("engine_sim --listen is not running"),
            std::string::npos)
      << qrn_open_problem();

  // A typo in the stand-in's address is named as such.
  vdqrn::SetStandInAddress("127.0.0.1:4712o");
  EXPECT_EQ(qrn_open(&session), QRN_OPEN_FAILED);
  EXPECT_EQ(qrn_system_error(nullptr), 87u);
  EXPECT_NE(
      std::string(qrn_open_problem()).find("cannot use QRN_STANDIN_ADDRESS=\"127.0.0.1:4712o\""),
      std::string::npos)
      << qrn_open_problem();
}

// One session per process: a second open is refused with a status of its
// own, before anything is opened, and never answers another session's
// command; once the first is closed (or an open failed), an open works.
TEST_F(ClientLibrary, ASecondSessionInOneProcessIsRefused) {
  Open([](const std::string& command) -> std::vector<TimedPacket> {
    if (command == "GetSerialNumber") return Now("OK|SN-1");
    return {};
  });
  qrn_session* second = reinterpret_cast<qrn_session*>(&second);
  EXPECT_EQ(qrn_open(&second), QRN_ALREADY_OPEN);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(std::string(qrn_open_problem()).find("one session per process"), std::string::npos);
  EXPECT_EQ(Send(session_, "GetSerialNumber", 5000).text, "SN-1");
  EXPECT_EQ(peer_->Commands().size(), 1u) << "the refused open wrote nothing";

  qrn_close(session_);
  session_ = nullptr;
  ASSERT_EQ(qrn_open(&session_), QRN_OK) << qrn_open_problem();
  EXPECT_EQ(Send(session_, "GetSerialNumber", 5000).text, "SN-1");
}

TEST_F(ClientLibrary, EveryStatusHasItsOwnName) {
  std::vector<std::string> names;
  for (int status = QRN_OK; status <= QRN_ALREADY_OPEN; ++status) {
    const std::string name = qrn_status_name(status);
    EXPECT_EQ(name.rfind("QRN_", 0), 0u) << status;
    for (const std::string& other : names) EXPECT_NE(name, other);
    names.push_back(name);
  }
  EXPECT_EQ(QRN_TIMED_OUT, 2);  // the values host applications rely on
  EXPECT_EQ(QRN_INVALID_ARGUMENT, 10);
}

}  // namespace
}  // namespace qrnclient_test
