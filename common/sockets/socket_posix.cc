// POSIX implementation of the socket seam.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sockets/socket.h"

namespace vdqrn {
namespace sockets {

namespace {

std::string SystemText(int error) { return std::strerror(error); }

addrinfo* Resolve(const std::string& host, std::uint16_t port, bool passive, int* result) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* list = nullptr;
  *result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  return *result == 0 ? list : nullptr;
}

bool IsLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

std::string NumericAddress(const sockaddr_storage& address, socklen_t length) {
  char host[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr,
                  0, NI_NUMERICHOST) != 0) {
    return "?";
  }
  return host;
}

// Connects a fresh socket within the time limit; -1 with errno set otherwise
// (ETIMEDOUT when the limit passed).
int ConnectOne(const addrinfo& address, int timeoutMs) {
  const int handle = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC,
                            address.ai_protocol);
  if (handle < 0) return -1;
  const int flags = fcntl(handle, F_GETFL);
  fcntl(handle, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (connect(handle, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      error = errno;
    } else {
      pollfd wait{handle, POLLOUT, 0};
      const int ready = poll(&wait, 1, timeoutMs);
      if (ready == 0) {
        error = ETIMEDOUT;
      } else if (ready < 0) {
        error = errno;
      } else {
        socklen_t length = sizeof error;
        getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length);
      }
    }
  }
  if (error != 0) {
    close(handle);
    errno = error;
    return -1;
  }
  fcntl(handle, F_SETFL, flags);
  const int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return handle;
}

}  // namespace

Socket Socket::Listen(const std::string& host, std::uint16_t port, SocketStatus* status,
                      std::string* error) {
  int resolved = 0;
  addrinfo* list = Resolve(host, port, true, &resolved);
  if (list == nullptr) {
    *status = SocketStatus::kBadAddress;
    *error = gai_strerror(resolved);
    return Socket();
  }
  *status = SocketStatus::kFailed;
  *error = "no usable address";
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    const int handle = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC,
                              address->ai_protocol);
    if (handle < 0) {
      *error = SystemText(errno);
      continue;
    }
    const int on = 1;
    setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(handle, address->ai_addr, address->ai_addrlen) != 0 || listen(handle, 4) != 0) {
      *error = SystemText(errno);
      close(handle);
      continue;
    }
    freeaddrinfo(list);
    *status = SocketStatus::kOk;
    error->clear();
    return Socket(handle);
  }
  freeaddrinfo(list);
  return Socket();
}

Socket Socket::Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                       SocketStatus* status, std::string* error) {
  int resolved = 0;
  addrinfo* list = Resolve(host, port, false, &resolved);
  if (list == nullptr) {
    *status = SocketStatus::kBadAddress;
    *error = gai_strerror(resolved);
    return Socket();
  }
  *status = SocketStatus::kFailed;
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    const int handle = ConnectOne(*address, timeoutMs);
    if (handle >= 0) {
      freeaddrinfo(list);
      *status = SocketStatus::kOk;
      error->clear();
      return Socket(handle);
    }
    *error = SystemText(errno);
    if (errno == ECONNREFUSED) *status = SocketStatus::kRefused;
    if (errno == ETIMEDOUT) *status = SocketStatus::kTimedOut;
  }
  freeaddrinfo(list);
  return Socket();
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return 0;
}

Socket Socket::Accept(int timeoutMs, std::string* peerAddress, bool* peerIsLoopback,
                      std::string* error) {
  error->clear();
  pollfd wait{static_cast<int>(handle_), POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return Socket();
  if (ready < 0) {
    *error = SystemText(errno);
    return Socket();
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int handle;
  do {
    handle = accept4(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&address), &length,
                     SOCK_CLOEXEC);
  } while (handle < 0 && errno == EINTR);
  if (handle < 0) {
    *error = SystemText(errno);
    return Socket();
  }
  const int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *peerAddress = NumericAddress(address, length);
  *peerIsLoopback = IsLoopback(address);
  return Socket(handle);
}

bool Socket::SendAll(const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t sent = send(static_cast<int>(handle_), next, count, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    next += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return true;
}

void Socket::SetSendTimeout(int timeoutMs) {
  if (handle_ == kInvalid) return;
  timeval limit{timeoutMs / 1000, static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Socket::Received Socket::Receive(void* buffer, std::size_t capacity, int timeoutMs,
                                 std::size_t* count) {
  *count = 0;
  if (handle_ == kInvalid) return Received::kClosed;
  pollfd wait{static_cast<int>(handle_), POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, timeoutMs < 0 ? -1 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return Received::kTimedOut;
  if (ready < 0) return Received::kClosed;
  ssize_t received;
  do {
    received = recv(static_cast<int>(handle_), buffer, capacity, 0);
  } while (received < 0 && errno == EINTR);
  if (received <= 0) return Received::kClosed;
  *count = static_cast<std::size_t>(received);
  return Received::kData;
}

void Socket::Shutdown() {
  if (handle_ != kInvalid) shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

void Socket::Close() {
  if (handle_ != kInvalid) {
    close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

}  // namespace sockets
}  // namespace vdqrn
