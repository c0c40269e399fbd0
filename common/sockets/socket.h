// TCP sockets for the channel stand-in and engine_sim's listener: the one
// interface; socket_posix.cc and socket_windows.cc implement it. Not part of
// the driver module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vdqrn {
namespace sockets {

// "host:port" or "[v6-host]:port", split; false when the text is not of that
// form or the port is not a number from 0 to 65535.
bool SplitHostPort(const std::string& address, std::string* host, std::uint16_t* port);

// How a connect or listen ended.
enum class SocketStatus {
  kOk,
  kRefused,     // nothing listens there
  kTimedOut,    // no answer within the time limit
  kBadAddress,  // the host name does not resolve
  kFailed,      // anything else (the text says what)
};

// A connection or a listening socket. Moves; closes on destruction. One
// thread may send while another receives; Shutdown may come from any thread
// and wakes both.
class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Listens on host:port (port 0: any free one, see LocalPort).
  static Socket Listen(const std::string& host, std::uint16_t port, SocketStatus* status,
                       std::string* error);
  // Connects within timeoutMs.
  static Socket Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                        SocketStatus* status, std::string* error);

  bool IsOpen() const { return handle_ != kInvalid; }
  // The port this socket is bound to; 0 when it cannot be told.
  std::uint16_t LocalPort() const;

  // Waits up to timeoutMs (negative: without limit) for the next connection
  // of a listening socket. The peer's numeric address, and whether it is a
  // loopback address (127.0.0.0/8, ::1, or ::ffff:127.x). A closed socket
  // when none came in time (error left empty) or accepting failed.
  Socket Accept(int timeoutMs, std::string* peerAddress, bool* peerIsLoopback,
                std::string* error);

  // Sends every byte; false when the connection is gone, or a send could
  // not go on for the send time-out.
  bool SendAll(const void* bytes, std::size_t count);
  // How long a send may wait for the peer to read (0: without limit, the
  // default). After a send ran out of it the connection is good for
  // closing only.
  void SetSendTimeout(int timeoutMs);

  enum class Received { kData, kTimedOut, kClosed };
  // Waits up to timeoutMs (negative: without limit) for bytes and takes up to
  // `capacity` of them. kClosed: the peer closed, the connection failed or
  // was shut down.
  Received Receive(void* buffer, std::size_t capacity, int timeoutMs, std::size_t* count);

  // Ends both directions: a receive waiting in another thread returns kClosed.
  void Shutdown();
  void Close();

 private:
  static constexpr std::intptr_t kInvalid = -1;
  explicit Socket(std::intptr_t handle) : handle_(handle) {}

  std::intptr_t handle_ = kInvalid;
};

}  // namespace sockets
}  // namespace vdqrn
