#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

#include "emulator/EmulatorSocket.h"

namespace velko::emulator {
namespace {

// Winsock stays started for the process once the emulator has used it.
void StartWinsock() {
  static const int started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw std::runtime_error("WSAStartup failed: " + std::to_string(started));
}

SOCKET S(intptr_t h) { return static_cast<SOCKET>(h); }

bool Readable(SOCKET s, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return ::select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace

EmulatorSocket EmulatorSocket::Listen(const std::string& host, uint16_t port) {
  StartWinsock();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = ::htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + host);
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket: " + std::to_string(::WSAGetLastError()));
  EmulatorSocket sock(static_cast<intptr_t>(s));
  const BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 16) != 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                             ": error " + std::to_string(::WSAGetLastError()));
  return sock;
}

uint16_t EmulatorSocket::LocalPort() const {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (::getsockname(S(handle_), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ::ntohs(addr.sin_port);
}

EmulatorSocket EmulatorSocket::Accept(int timeout_ms, std::string* peer) {
  if (!Readable(S(handle_), timeout_ms)) return EmulatorSocket();
  sockaddr_in addr{};
  int len = sizeof addr;
  const SOCKET s = ::accept(S(handle_), reinterpret_cast<sockaddr*>(&addr), &len);
  if (s == INVALID_SOCKET) return EmulatorSocket();
  if (peer) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(::ntohs(addr.sin_port));
  }
  return EmulatorSocket(static_cast<intptr_t>(s));
}

EmulatorSocket::ReceiveStatus EmulatorSocket::Receive(std::string& out, size_t max_bytes, int timeout_ms) {
  if (!Readable(S(handle_), timeout_ms)) return ReceiveStatus::TimedOut;
  char buf[4096];
  const int n = ::recv(S(handle_), buf, static_cast<int>(std::min(sizeof buf, max_bytes)), 0);
  if (n <= 0) return ReceiveStatus::Closed;
  out.append(buf, static_cast<size_t>(n));
  return ReceiveStatus::Data;
}

bool EmulatorSocket::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = ::send(S(handle_), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void EmulatorSocket::Close() {
  if (handle_ != kInvalid) ::closesocket(S(handle_));
  handle_ = kInvalid;
}

}  // namespace velko::emulator
