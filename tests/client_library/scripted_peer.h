// A scripted client for the channel stand-in: listens on loopback, takes
// the host side's connections one after the other, opens every channel
// asked for, and answers each command with the packets the test's script
// gives, each after its own delay. Packets leave in order, as the driver
// answers one command after the other, so the timing of a slow link or a
// loaded client can be set exactly. A command that comes while another runs
// (its last packet not sent yet) can be refused as the driver refuses it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sockets/socket.h"

namespace qrnclient_test {

struct TimedPacket {
  std::chrono::milliseconds delay;  // after the command came, or the packet before it left
  std::string bytes;                // at most 4996 bytes
  int times = 1;                    // sent that often in a row: a flood
  bool onCommandChannel = false;    // on QrnCmd1, where the driver never answers
};

// What the driver answers to a command that comes while another runs.
enum class WhileRunning {
  kScripted,     // the script's answer, after the running command's
  kBusyAfter,    // its busy answer after the running command's (high-performance mode)
  kBusyDropped,  // nothing: the running command's answer replaces the busy one (normal mode)
};

class ScriptedPeer {
 public:
  using Script = std::function<std::vector<TimedPacket>(const std::string& command)>;

  explicit ScriptedPeer(Script script, WhileRunning whileRunning = WhileRunning::kScripted);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::string Address() const;
  // Every command received so far, in order.
  std::vector<std::string> Commands() const;
  // How many packets have left so far.
  long long Sent() const;

 private:
  struct Outgoing {
    std::chrono::steady_clock::time_point notBefore;
    std::chrono::milliseconds delay;
    std::string bytes;
    int times;
    bool onCommandChannel;
  };
  void Serve();
  void Converse(vdqrn::sockets::Socket& connection);
  void SendLoop(vdqrn::sockets::Socket* connection);

  Script script_;
  WhileRunning whileRunning_;
  vdqrn::sockets::Socket listening_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<Outgoing> outgoing_;
  std::vector<std::string> commands_;
  // When the last packet of the commands queued so far is due.
  std::chrono::steady_clock::time_point runningUntil_;
  long long sent_ = 0;
  // The ids of the connection's channels.
  std::uint32_t commandChannel_ = 0;
  std::uint32_t dataChannel_ = 0;
  bool stop_ = false;
  bool connectionOver_ = false;
  std::thread server_;
};

// The driver's answer to a command name it does not know, as it echoes a
// resynchronising token.
std::vector<TimedPacket> UnknownCommand(const std::string& command);

}  // namespace qrnclient_test
