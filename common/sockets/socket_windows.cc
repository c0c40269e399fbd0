// Windows implementation of the socket seam (Winsock 2).
#include <winsock2.h>
#include <ws2tcpip.h>


#include "sockets/socket.h"

namespace vdqrn {
namespace sockets {

namespace {

// Winsock is started once per process and left running.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string SystemText(int error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(error), 0, text, sizeof text,
                                      nullptr);
  std::string result(text, length);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "error " + std::to_string(error) : result;
}

SOCKET Raw(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

addrinfo* Resolve(const std::string& host, std::uint16_t port, bool passive, int* result) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
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
    const unsigned char* bytes = v6->sin6_addr.s6_addr;
    bool zeroTen = true;
    for (int i = 0; i < 10; ++i) zeroTen = zeroTen && bytes[i] == 0;
    if (zeroTen && bytes[10] == 0 && bytes[11] == 0 && bytes[12] == 0 && bytes[13] == 0 &&
        bytes[14] == 0 && bytes[15] == 1) {
      return true;  // ::1
    }
    return zeroTen && bytes[10] == 0xff && bytes[11] == 0xff && bytes[12] == 127;
  }
  return false;
}

std::string NumericAddress(const sockaddr_storage& address, int length) {
  char host[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr,
                  0, NI_NUMERICHOST) != 0) {
    return "?";
  }
  return host;
}

// Connects a fresh socket within the time limit; INVALID_SOCKET with *error
// set otherwise (WSAETIMEDOUT when the limit passed).
SOCKET ConnectOne(const addrinfo& address, int timeoutMs, int* error) {
  const SOCKET handle = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (handle == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  ioctlsocket(handle, FIONBIO, &nonBlocking);
  *error = 0;
  if (connect(handle, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
      *error = started;
    } else {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(handle, &writable);
      FD_SET(handle, &failed);
      timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      const int ready = select(0, nullptr, &writable, &failed, &limit);
      if (ready == 0) {
        *error = WSAETIMEDOUT;
      } else if (ready < 0) {
        *error = WSAGetLastError();
      } else {
        int value = 0;
        int length = sizeof value;
        getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length);
        if (value == 0 && FD_ISSET(handle, &failed)) value = WSAECONNREFUSED;
        *error = value;
      }
    }
  }
  if (*error != 0) {
    closesocket(handle);
    return INVALID_SOCKET;
  }
  nonBlocking = 0;
  ioctlsocket(handle, FIONBIO, &nonBlocking);
  const BOOL on = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return handle;
}

}  // namespace

Socket Socket::Listen(const std::string& host, std::uint16_t port, SocketStatus* status,
                      std::string* error) {
  *status = SocketStatus::kFailed;
  if (!StartWinsock()) {
    *error = "Winsock did not start";
    return Socket();
  }
  int resolved = 0;
  addrinfo* list = Resolve(host, port, true, &resolved);
  if (list == nullptr) {
    *status = SocketStatus::kBadAddress;
    *error = SystemText(resolved);
    return Socket();
  }
  *error = "no usable address";
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    const SOCKET handle = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (handle == INVALID_SOCKET) {
      *error = SystemText(WSAGetLastError());
      continue;
    }
    // Nobody else may take over the port while we hold it.
    const BOOL on = TRUE;
    setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
    if (bind(handle, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 ||
        listen(handle, 4) != 0) {
      *error = SystemText(WSAGetLastError());
      closesocket(handle);
      continue;
    }
    freeaddrinfo(list);
    *status = SocketStatus::kOk;
    error->clear();
    return Socket(static_cast<std::intptr_t>(handle));
  }
  freeaddrinfo(list);
  return Socket();
}

Socket Socket::Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                       SocketStatus* status, std::string* error) {
  *status = SocketStatus::kFailed;
  if (!StartWinsock()) {
    *error = "Winsock did not start";
    return Socket();
  }
  int resolved = 0;
  addrinfo* list = Resolve(host, port, false, &resolved);
  if (list == nullptr) {
    *status = SocketStatus::kBadAddress;
    *error = SystemText(resolved);
    return Socket();
  }
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    int failure = 0;
    const SOCKET handle = ConnectOne(*address, timeoutMs, &failure);
    if (handle != INVALID_SOCKET) {
      freeaddrinfo(list);
      *status = SocketStatus::kOk;
      error->clear();
      return Socket(static_cast<std::intptr_t>(handle));
    }
    *error = SystemText(failure);
    if (failure == WSAECONNREFUSED) *status = SocketStatus::kRefused;
    if (failure == WSAETIMEDOUT) *status = SocketStatus::kTimedOut;
  }
  freeaddrinfo(list);
  return Socket();
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(Raw(handle_), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
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
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Raw(handle_), &readable);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
  if (ready == 0) return Socket();
  if (ready < 0) {
    *error = SystemText(WSAGetLastError());
    return Socket();
  }
  sockaddr_storage address{};
  int length = sizeof address;
  const SOCKET handle = accept(Raw(handle_), reinterpret_cast<sockaddr*>(&address), &length);
  if (handle == INVALID_SOCKET) {
    *error = SystemText(WSAGetLastError());
    return Socket();
  }
  const BOOL on = TRUE;
  setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  *peerAddress = NumericAddress(address, length);
  *peerIsLoopback = IsLoopback(address);
  return Socket(static_cast<std::intptr_t>(handle));
}

bool Socket::SendAll(const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const int chunk = count > 0x40000000u ? 0x40000000 : static_cast<int>(count);
    const int sent = send(Raw(handle_), next, chunk, 0);
    if (sent <= 0) return false;
    next += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return true;
}

void Socket::SetSendTimeout(int timeoutMs) {
  if (handle_ == kInvalid) return;
  const DWORD limit = static_cast<DWORD>(timeoutMs);
  setsockopt(Raw(handle_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
}

Socket::Received Socket::Receive(void* buffer, std::size_t capacity, int timeoutMs,
                                 std::size_t* count) {
  *count = 0;
  if (handle_ == kInvalid) return Received::kClosed;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Raw(handle_), &readable);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
  if (ready == 0) return Received::kTimedOut;
  if (ready < 0) return Received::kClosed;
  const int chunk = capacity > 0x40000000u ? 0x40000000 : static_cast<int>(capacity);
  const int received = recv(Raw(handle_), static_cast<char*>(buffer), chunk, 0);
  if (received <= 0) return Received::kClosed;
  *count = static_cast<std::size_t>(received);
  return Received::kData;
}

void Socket::Shutdown() {
  if (handle_ != kInvalid) shutdown(Raw(handle_), SD_BOTH);
}

void Socket::Close() {
  if (handle_ != kInvalid) {
    closesocket(Raw(handle_));
    handle_ = kInvalid;
  }
}

}  // namespace sockets
}  // namespace vdqrn
