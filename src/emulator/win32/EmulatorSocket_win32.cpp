#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

#include "emulator/EmulatorSocket.h"
#include "platform/Ipv4Address.h"

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
  std::optional<sockaddr_in> addr = ParseIpv4(host, port);
  if (!addr) throw std::runtime_error("not an IPv4 address: " + host);
  unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!socket) throw std::runtime_error("socket: " + std::to_string(::WSAGetLastError()));
  const SOCKET s = socket.get();
  const BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  if (::bind(s, reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 || ::listen(s, 16) != 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                             ": error " + std::to_string(::WSAGetLastError()));
  return EmulatorSocket(std::move(socket));
}

uint16_t EmulatorSocket::LocalPort() const {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ::ntohs(addr.sin_port);
}

EmulatorSocket EmulatorSocket::Accept(int timeout_ms, std::string* peer) {
  if (!Readable(socket_.get(), timeout_ms)) return EmulatorSocket();
  sockaddr_in addr{};
  int len = sizeof addr;
  unique_socket accepted(::accept(socket_.get(), reinterpret_cast<sockaddr*>(&addr), &len));
  if (!accepted) return EmulatorSocket();
  if (peer) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(::ntohs(addr.sin_port));
  }
  return EmulatorSocket(std::move(accepted));
}

EmulatorSocket::ReceiveStatus EmulatorSocket::Receive(std::string& out, size_t max_bytes, int timeout_ms) {
  if (!Readable(socket_.get(), timeout_ms)) return ReceiveStatus::TimedOut;
  char buf[4096];
  const int n = ::recv(socket_.get(), buf, static_cast<int>(std::min(sizeof buf, max_bytes)), 0);
  if (n <= 0) return ReceiveStatus::Closed;
  out.append(buf, static_cast<size_t>(n));
  return ReceiveStatus::Data;
}

bool EmulatorSocket::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const int n = ::send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace velko::emulator
