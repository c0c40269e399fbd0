// What sockets do the same on every system: splitting "host:port", and
// owning a handle (closed by the system's Close).
#include "sockets/socket.h"

#include <cctype>

namespace vdqrn {
namespace sockets {

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

bool SplitHostPort(const std::string& address, std::string* host, std::uint16_t* port) {
  std::string hostPart;
  std::string portPart;
  if (!address.empty() && address[0] == '[') {
    const std::size_t close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':') {
      return false;
    }
    hostPart = address.substr(1, close - 1);
    portPart = address.substr(close + 2);
  } else {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) return false;
    hostPart = address.substr(0, colon);
    portPart = address.substr(colon + 1);
    if (hostPart.find(':') != std::string::npos) return false;  // a v6 address needs brackets
  }
  if (hostPart.empty() || portPart.empty() || portPart.size() > 5) return false;
  unsigned long value = 0;
  for (const char c : portPart) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 65535) return false;
  *host = hostPart;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace sockets
}  // namespace vdqrn
