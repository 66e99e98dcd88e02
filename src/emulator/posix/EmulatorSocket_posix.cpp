#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "emulator/EmulatorSocket.h"
#include "platform/Ipv4Address.h"

namespace velko::emulator {

EmulatorSocket EmulatorSocket::Listen(const std::string& host, uint16_t port) {
  std::optional<sockaddr_in> addr = ParseIpv4(host, port);
  if (!addr) throw std::runtime_error("not an IPv4 address: " + host);
  unique_socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int fd = socket.get();
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 || ::listen(fd, 16) != 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                             std::strerror(errno));
  return EmulatorSocket(std::move(socket));
}

uint16_t EmulatorSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

EmulatorSocket EmulatorSocket::Accept(int timeout_ms, std::string* peer) {
  pollfd p{socket_.get(), POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return EmulatorSocket();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  unique_socket accepted(::accept4(socket_.get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC));
  if (!accepted) return EmulatorSocket();
  if (peer) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
  }
  return EmulatorSocket(std::move(accepted));
}

EmulatorSocket::ReceiveStatus EmulatorSocket::Receive(std::string& out, size_t max_bytes, int timeout_ms) {
  pollfd p{socket_.get(), POLLIN, 0};
  const int rc = ::poll(&p, 1, timeout_ms);
  if (rc == 0) return ReceiveStatus::TimedOut;
  if (rc < 0) return errno == EINTR ? ReceiveStatus::TimedOut : ReceiveStatus::Closed;
  char buf[4096];
  const ssize_t n = ::recv(socket_.get(), buf, std::min(sizeof buf, max_bytes), 0);
  if (n <= 0) return ReceiveStatus::Closed;
  out.append(buf, static_cast<size_t>(n));
  return ReceiveStatus::Data;
}

bool EmulatorSocket::SendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace velko::emulator
