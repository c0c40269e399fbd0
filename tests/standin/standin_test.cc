// The channel stand-in end to end: the five functions, over TCP, to
// engine_sim's listener in this process, which runs the built driver module
// with the recording instrument library (its answers scripted here).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>
#endif

#include "engine_sim.h"
#include "exit_codes.h"
#include "listener.h"
#include "platform/caller.h"
#include "sockets/socket.h"
#include "process_info.h"
#include "recording_controls.h"
#include "scripted_peer.h"
#include "standin_address.h"
#include "test_directory.h"
#include "tool.h"
#include "wfapi.h"
#include "wire.h"

namespace vdqrn {

namespace {

using engine_sim_cli::ListenSettings;

constexpr std::size_t kPacket = 4996;

std::uint32_t LastError() {
#if defined(_WIN32)
  return GetLastError();
#else
  return static_cast<std::uint32_t>(errno);
#endif
}

struct ReadResult {
  bool ok;
  std::uint32_t error;  // when not ok
  std::string bytes;
};

ReadResult Read(HANDLE channel, ULONG timeoutMs, ULONG bufferSize = 8192) {
  std::vector<char> buffer(bufferSize + 1);
  ULONG read = 0;
  ReadResult result;
  result.ok = WFVirtualChannelRead(channel, timeoutMs, buffer.data(), bufferSize, &read) != 0;
  result.error = result.ok ? 0 : LastError();
  result.bytes.assign(buffer.data(), read);
  return result;
}

bool Write(HANDLE channel, const std::string& bytes) {
  ULONG written = 0;
  std::string copy = bytes;
  return WFVirtualChannelWrite(channel, &copy[0], static_cast<ULONG>(copy.size()), &written) != 0 &&
         written == copy.size();
}

HANDLE Open(const char* name) {
  std::string copy = name;
  return WFVirtualChannelOpen(nullptr, 0xFFFFFFFFu, &copy[0]);
}

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_sim::SetModuleTempDirectory(temp_.Path());
    ASSERT_TRUE(recording_.IsLoaded());
  }

  void TearDown() override {
    for (HANDLE channel : handles_) WFVirtualChannelClose(channel);
    StopClient();
  }

  // engine_sim's listener on a free port, its address for the stand-in.
  void StartClient(ListenSettings settings = ListenSettings()) {
    std::string problem;
    if (settings.module.empty()) settings.module = engine_sim_cli::ModuleBesideExecutable(&problem);
    listener_ = std::make_unique<engine_sim_cli::Listener>(settings, out_, err_);
    std::string error;
    ASSERT_TRUE(listener_->Listen("127.0.0.1:0", &error)) << error;
    vdqrn::SetStandInAddress(listener_->BoundAddress());
    client_ = std::thread([this] { listener_->Serve(); });
  }

  void StopClient() {
    if (!listener_) return;
    listener_->Stop();
    client_.join();
    listener_.reset();
  }

  HANDLE OpenKept(const char* name) {
    HANDLE channel = Open(name);
    if (channel != nullptr) handles_.push_back(channel);
    return channel;
  }

  // A client with the settings, and both channels open.
  void OpenBoth(const ListenSettings& settings) {
    StartClient(settings);
    command_ = OpenKept("QrnCmd1");
    data_ = OpenKept("QrnDta1");
    ASSERT_NE(command_, nullptr) << LastError();
    ASSERT_NE(data_, nullptr) << LastError();
  }

  // Both channels open, the recording library loaded through Init.
  void StartSession() {
    StartClient();
    command_ = OpenKept("QrnCmd1");
    data_ = OpenKept("QrnDta1");
    ASSERT_NE(command_, nullptr) << LastError();
    ASSERT_NE(data_, nullptr) << LastError();
    ASSERT_TRUE(Write(command_, "Init|recordingspectro|"));
    ASSERT_EQ(Read(data_, 5000).bytes, "OK");
  }

  // A GetSerialNumber answer of exactly `size` bytes ("OK|" and the text).
  void AskForResponseOf(std::size_t size) {
    recording_.SetText(std::string(size - 3, 's').c_str());
    ASSERT_TRUE(Write(command_, "GetSerialNumber"));
  }

  TestDirectory temp_;
  RecordingLibrary recording_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::unique_ptr<engine_sim_cli::Listener> listener_;
  std::thread client_;
  std::vector<HANDLE> handles_;
  HANDLE command_ = nullptr;
  HANDLE data_ = nullptr;
};

TEST_F(StandIn, GreetingGoesOutAndComesBackOnTheDataChannel) {
  StartSession();
  ASSERT_TRUE(Write(command_, "Hello"));
  const ReadResult read = Read(data_, 5000);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.bytes, "OK|Hello");
  // The conversation is printed as engine_sim prints it.
  StopClient();
  EXPECT_NE(out_.str().find("> Hello\n< OK|Hello\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("engine_sim: session 1 from 127.0.0.1 started"), std::string::npos);
}

TEST_F(StandIn, ResponsesArriveAsPacketsOfAtMost4996Bytes) {
  StartSession();
  AskForResponseOf(kPacket);
  ReadResult read = Read(data_, 5000);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.bytes.size(), kPacket);
  EXPECT_EQ(read.bytes.substr(0, 4), "OK|s");

  AskForResponseOf(6000);
  read = Read(data_, 5000);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.bytes.size(), kPacket);
  const ReadResult rest = Read(data_, 5000);
  ASSERT_TRUE(rest.ok) << rest.error;
  EXPECT_EQ(rest.bytes, std::string(1004, 's'));
  EXPECT_EQ(Read(data_, 0).error, 121u);  // nothing more
}

TEST_F(StandIn, AReadTooSmallDropsThatPacketOnly) {
  StartSession();
  AskForResponseOf(6000);
  const ReadResult small = Read(data_, 5000, 100);
  EXPECT_FALSE(small.ok);
  EXPECT_EQ(small.error, 122u);
  const ReadResult next = Read(data_, 5000);
  ASSERT_TRUE(next.ok) << next.error;
  EXPECT_EQ(next.bytes, std::string(1004, 's'));
}

TEST_F(StandIn, ReadsTimeOut) {
  StartSession();
  EXPECT_EQ(Read(data_, 0).error, 121u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(data_, 100).error, 121u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
}

TEST_F(StandIn, ALongWriteReachesTheDriverAsSeveralWrites) {
  StartSession();
  // The first 4996 bytes are one command, the rest another.
  ASSERT_TRUE(Write(command_, "Hello" + std::string(kPacket - 5, 'x') + "QuarnClientDriverVersion"));
  EXPECT_EQ(Read(data_, 5000).bytes, "OK|Hello");
  EXPECT_EQ(Read(data_, 5000).bytes, VDQRN_VERSION);
}

TEST_F(StandIn, PurgeDropsWhatWasNotReadYet) {
  StartSession();
  ASSERT_TRUE(Write(command_, "Hello"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(WFVirtualChannelPurgeInput(data_));
  EXPECT_EQ(Read(data_, 0).error, 121u);
  ASSERT_TRUE(Write(command_, "QuarnClientDriverVersion"));
  EXPECT_NE(Read(data_, 5000).bytes, "OK|Hello");
}

TEST_F(StandIn, ChannelsTheClientDoesNotHaveDoNotOpen) {
  StartSession();
  EXPECT_EQ(Open("QrnXyz1"), nullptr);
  EXPECT_EQ(LastError(), 2u);
}

TEST_F(StandIn, TheAllowListOpensChannelsOnlyForListedPrograms) {
  ListenSettings settings;
  ASSERT_TRUE(settings.allowList.Add("QrnCmd1," + platform::CallerProgramPath()));
  ASSERT_TRUE(settings.allowList.Add("QrnDta1,/elsewhere/other-host"));
  StartClient(settings);
  EXPECT_NE(OpenKept("QrnCmd1"), nullptr) << LastError();
  EXPECT_EQ(Open("QrnDta1"), nullptr);
  EXPECT_EQ(LastError(), 5u);
}

TEST_F(StandIn, WithoutTheDriverChannelsOpenButNothingAnswers) {
  ListenSettings settings;
  settings.noDriver = true;
  ASSERT_NO_FATAL_FAILURE(OpenBoth(settings));
  ASSERT_TRUE(Write(command_, "Hello"));
  EXPECT_EQ(Read(data_, 300).error, 121u);
}

// A client whose driver did not load, asked for or because the module does
// not load: its channels are not offered (error 2), never "nothing listens".
TEST_F(StandIn, AClientWhoseDriverDidNotLoadOffersNoChannel) {
  for (const bool asked : {true, false}) {
    ListenSettings settings;
    settings.driverNotLoaded = asked;
    if (!asked) settings.module = temp_.Path() + "/no-such-module.so";
    StartClient(settings);
    EXPECT_EQ(Open("QrnCmd1"), nullptr) << asked;
    EXPECT_EQ(LastError(), 2u) << asked;
    StopClient();
  }
}

// Program runs one after another: each its own client session by default,
// one session for all with keepSession (the library an earlier program
// loaded is still loaded, as on a real client).
TEST_F(StandIn, AKeptSessionKeepsWhatAnEarlierProgramLoaded) {
  for (const bool kept : {false, true}) {
    ListenSettings settings;
    settings.keepSession = kept;
    StartClient(settings);
    for (const char* command : {"Init|recordingspectro|", "GetSerialNumber"}) {
      HANDLE commands = Open("QrnCmd1");
      HANDLE data = Open("QrnDta1");
      ASSERT_NE(commands, nullptr) << LastError();
      ASSERT_NE(data, nullptr) << LastError();
      ASSERT_TRUE(Write(commands, command));
      const ReadResult answer = Read(data, 5000);
      if (command[0] == 'I') {
        EXPECT_EQ(answer.bytes, "OK");
      } else if (kept) {
        EXPECT_EQ(answer.bytes.rfind("OK", 0), 0u) << answer.bytes;
      } else {
        EXPECT_EQ(answer.bytes, "ERROR|No driver loaded");
      }
      // The program ends: its channels close, and with them its connection.
      WFVirtualChannelClose(commands);
      WFVirtualChannelClose(data);
    }
    StopClient();
  }
}

// Normal mode's rule with a simulated poll: a command written before the
// poll replaces the one whose response is pending, which is never sent.
TEST_F(StandIn, AtAPollOnlyTheLastOfTwoQuickCommandsIsAnswered) {
  ListenSettings settings;
  settings.pollMs = 300;
  ASSERT_NO_FATAL_FAILURE(OpenBoth(settings));
  ASSERT_TRUE(Write(command_, "Hello"));
  ASSERT_TRUE(Write(command_, "QuarnClientDriverVersion"));
  EXPECT_EQ(Read(data_, 5000).bytes, VDQRN_VERSION);
  EXPECT_EQ(Read(data_, 800).error, 121u) << "the first command's response was sent too";
  // One at a time, each is answered at its poll.
  ASSERT_TRUE(Write(command_, "Hello"));
  EXPECT_EQ(Read(data_, 5000).bytes, "OK|Hello");
}

TEST_F(StandIn, NamesLongerThanSevenOrNotAsciiAreRefused) {
  EXPECT_EQ(Open("QrnCmd12"), nullptr);
  EXPECT_EQ(LastError(), 87u);
  EXPECT_EQ(Open("Qrn\xc3\xa9"), nullptr);
  EXPECT_EQ(LastError(), 87u);
  EXPECT_EQ(Open(""), nullptr);
  EXPECT_EQ(LastError(), 87u);
}

TEST_F(StandIn, NothingListeningRefusesTheOpen) {
  // A port that was free a moment ago.
  sockets::SocketStatus status;
  std::string error;
  sockets::Socket probe = sockets::Socket::Listen("127.0.0.1", 0, &status, &error);
  ASSERT_TRUE(probe.IsOpen()) << error;
  const std::uint16_t port = probe.LocalPort();
  probe.Close();
  vdqrn::SetStandInAddress("127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(Open("QrnCmd1"), nullptr);
  EXPECT_EQ(LastError(), 1225u);
}

// A client that floods a channel the host does not read costs the host a
// bounded queue: the newest 8192 packets, or 16 MiB, are kept; the oldest
// are dropped. Before, the host grew until it aborted.
TEST_F(StandIn, AFloodedChannelKeepsOnlyTheNewestPackets) {
  using qrnclient_test::TimedPacket;
  const std::chrono::milliseconds now(0);
  qrnclient_test::ScriptedPeer peer([&](const std::string& command) {
    std::vector<TimedPacket> packets;
    for (int i = 0; command == "Numbers" && i < 10000; ++i) {
      packets.push_back({now, std::to_string(i)});
    }
    if (command == "Full") packets.push_back({now, std::string(kPacket, 'f'), 4000});
    // After the flood, on the other channel: the flood is all in once it came.
    packets.push_back({now, "end", 1, true});
    return packets;
  });
  vdqrn::SetStandInAddress(peer.Address());
  command_ = OpenKept("QrnCmd1");
  data_ = OpenKept("QrnDta1");
  ASSERT_NE(data_, nullptr) << LastError();
  const auto flood = [&](const std::string& command) {
    std::vector<std::string> read;
    if (!Write(command_, command) || Read(command_, 60000).bytes != "end") return read;
    for (ReadResult next = Read(data_, 0); next.ok; next = Read(data_, 0)) {
      read.push_back(next.bytes);
    }
    return read;
  };
  const std::vector<std::string> numbers = flood("Numbers");
  ASSERT_EQ(numbers.size(), 8192u);
  EXPECT_EQ(numbers.front(), "1808");
  EXPECT_EQ(numbers.back(), "9999");
  const std::vector<std::string> full = flood("Full");
  EXPECT_EQ(full.size(), (16u << 20) / kPacket);
  // The queue works on: an answer after the flood comes through.
  ASSERT_TRUE(Write(command_, "Numbers"));
  EXPECT_EQ(Read(data_, 5000).bytes, "0");
}

TEST_F(StandIn, ALostConnectionBreaksReadsAndWrites) {
  StartSession();
  StopClient();
  const ReadResult read = Read(data_, 5000);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error, 109u);
  EXPECT_FALSE(Write(command_, "Hello"));
  EXPECT_EQ(LastError(), 109u);
}

TEST_F(StandIn, ClosedHandlesAreNoLongerValid) {
  StartSession();
  handles_.clear();
  ASSERT_TRUE(WFVirtualChannelClose(command_));
  EXPECT_FALSE(WFVirtualChannelClose(command_));
  EXPECT_EQ(LastError(), 6u);
  EXPECT_FALSE(Write(command_, "Hello"));
  EXPECT_EQ(LastError(), 6u);
  ASSERT_TRUE(WFVirtualChannelClose(data_));
}

// A second program's connection while one is served: its open is refused
// at once as busy, not left waiting.
TEST_F(StandIn, ASecondConnectionIsRefusedAsBusyWhileOneIsServed) {
  StartSession();
  std::string host;
  std::uint16_t port = 0;
  ASSERT_TRUE(sockets::SplitHostPort(listener_->BoundAddress(), &host, &port));
  sockets::SocketStatus status;
  std::string error;
  sockets::Socket second = sockets::Socket::Connect(host, port, 5000, &status, &error);
  ASSERT_TRUE(second.IsOpen()) << error;
  const std::string request = wire::Encode(wire::OpenRequest(7, "QrnCmd1", "/other/program"));
  ASSERT_TRUE(second.SendAll(request.data(), request.size()));
  wire::FrameReader reader;
  wire::Message answer;
  bool answered = false;
  for (int slice = 0; slice < 50 && !answered; ++slice) {
    char buffer[256];
    std::size_t count = 0;
    const auto received = second.Receive(buffer, sizeof buffer, 100, &count);
    if (received == sockets::Socket::Received::kClosed) break;
    if (received == sockets::Socket::Received::kData) reader.Feed(buffer, count);
    answered = reader.Take(&answer) == wire::FrameReader::Next::kMessage;
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(answer.type, wire::MessageType::kOpenAnswer);
  EXPECT_EQ(answer.channel, 7u);
  EXPECT_EQ(answer.error, 170u);
  // The session served goes on.
  ASSERT_TRUE(Write(command_, "Hello"));
  EXPECT_EQ(Read(data_, 5000).bytes, "OK|Hello");
  StopClient();
  EXPECT_NE(err_.str().find("busy with session 1"), std::string::npos) << err_.str();
}

// Programs that connect while a session is served and then send nothing
// never hold up the session: each is refused once its open request comes,
// or dropped after a while, without the listener waiting for it.
TEST_F(StandIn, SilentConnectionsNeverDelayTheSessionServed) {
  StartSession();
  std::string host;
  std::uint16_t port = 0;
  ASSERT_TRUE(sockets::SplitHostPort(listener_->BoundAddress(), &host, &port));
  std::vector<sockets::Socket> silent;
  for (int i = 0; i < 3; ++i) {
    sockets::SocketStatus status;
    std::string error;
    silent.push_back(sockets::Socket::Connect(host, port, 5000, &status, &error));
    ASSERT_TRUE(silent.back().IsOpen()) << error;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all three accepted
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Write(command_, "Hello"));
    // A silent connection held the listener for a second each.
    EXPECT_EQ(Read(data_, 900).bytes, "OK|Hello") << round;
  }
}

// A peer that never reads holds a send no longer than its time-out.
TEST_F(StandIn, ASendToAPeerThatNeverReadsEndsAtItsTimeOut) {
  sockets::SocketStatus status;
  std::string error;
  sockets::Socket listening = sockets::Socket::Listen("127.0.0.1", 0, &status, &error);
  ASSERT_TRUE(listening.IsOpen()) << error;
  sockets::Socket reader =
      sockets::Socket::Connect("127.0.0.1", listening.LocalPort(), 5000, &status, &error);
  ASSERT_TRUE(reader.IsOpen()) << error;
  std::string peer;
  bool loopback = false;
  sockets::Socket writer = listening.Accept(5000, &peer, &loopback, &error);
  ASSERT_TRUE(writer.IsOpen()) << error;
  writer.SetSendTimeout(200);
  const std::string chunk(64 * 1024, 'x');
  bool refused = false;
  // Far more than any socket buffers hold.
  for (int sent = 0; sent < 4096 && !refused; ++sent) {
    refused = !writer.SendAll(chunk.data(), chunk.size());
  }
  EXPECT_TRUE(refused);
}

TEST_F(StandIn, AnIdleConnectionEndsAfterTheIdleLimit) {
  ListenSettings settings;
  settings.idleLimit = std::chrono::milliseconds(500);
  StartClient(settings);
  command_ = OpenKept("QrnCmd1");
  data_ = OpenKept("QrnDta1");
  ASSERT_NE(data_, nullptr) << LastError();
  ASSERT_TRUE(Write(command_, "Hello"));
  EXPECT_EQ(Read(data_, 5000).bytes, "OK|Hello");
  // Nothing written: the client ends the session; the read says so.
  const ReadResult ended = Read(data_, 10000);
  EXPECT_FALSE(ended.ok);
  EXPECT_EQ(ended.error, 109u);
  StopClient();
  EXPECT_NE(err_.str().find("disconnecting (--idle-limit)"), std::string::npos) << err_.str();
}

// The tool's --listen mode as a user starts it: the ready file names the
// port; with --once the tool returns when the host's last channel closes.
TEST_F(StandIn, TheToolServesOneSessionAndSaysWhereItListens) {
  const std::string readyFile = temp_.Path() + "/ready.txt";
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  int code = -1;
  std::thread tool([&] {
    code = engine_sim_cli::RunTool(
        {"--listen", "127.0.0.1:0", "--once", "--ready-file", readyFile}, in, out, err, false);
  });
  std::string address;
  for (int wait = 0; wait < 100 && address.empty(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream ready(readyFile);
    std::getline(ready, address);
  }
  ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
  EXPECT_NE(address, "127.0.0.1:0");
  vdqrn::SetStandInAddress(address);
  HANDLE command = Open("QrnCmd1");
  HANDLE data = Open("QrnDta1");
  EXPECT_NE(command, nullptr);
  EXPECT_NE(data, nullptr);
  EXPECT_TRUE(Write(command, "Hello"));
  EXPECT_EQ(Read(data, 5000).bytes, "OK|Hello");
  WFVirtualChannelClose(command);
  WFVirtualChannelClose(data);
  tool.join();
  EXPECT_EQ(code, engine_sim_cli::kExitOk) << err.str();
  EXPECT_EQ(out.str().rfind("engine_sim: listening on " + address +
                                ", accepting connections from this machine only "
                                "(--accept-remote for others)\n",
                            0),
            0u)
      << out.str();
  EXPECT_NE(out.str().find("> Hello\n< OK|Hello\nengine_sim: session 1 ended\n"),
            std::string::npos)
      << out.str();
}

TEST_F(StandIn, TheToolSaysWhenItCannotListen) {
  sockets::SocketStatus status;
  std::string error;
  sockets::Socket taken = sockets::Socket::Listen("127.0.0.1", 0, &status, &error);
  ASSERT_TRUE(taken.IsOpen()) << error;
  const std::string address = "127.0.0.1:" + std::to_string(taken.LocalPort());
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(engine_sim_cli::RunTool({"--listen", address}, in, out, err, false),
            engine_sim_cli::kExitListen);
  EXPECT_EQ(err.str().rfind("engine_sim: cannot listen on " + address + ": ", 0), 0u) << err.str();
}

}  // namespace

}  // namespace vdqrn
