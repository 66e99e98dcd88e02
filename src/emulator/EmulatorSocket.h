// The emulator's side of TCP: a listening socket and the accepted
// connections, with bounded waits so that the serving threads can notice a
// stop request. The emulator is a test and tool component: its threads block
// here, never the driver's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/UniqueSocket.h"

namespace velko::emulator {

class EmulatorSocket {
 public:
  enum class ReceiveStatus { Data, Closed, TimedOut };

  EmulatorSocket() = default;  // moves, never copies: the socket has one owner

  // Listens on host:port (port 0 picks a free one); throws std::runtime_error.
  static EmulatorSocket Listen(const std::string& host, uint16_t port);
  uint16_t LocalPort() const;

  // Waits up to timeout_ms for a connection; an invalid socket when none came.
  EmulatorSocket Accept(int timeout_ms, std::string* peer);
  // Waits up to timeout_ms for bytes and appends at most max_bytes of them.
  ReceiveStatus Receive(std::string& out, size_t max_bytes, int timeout_ms);
  bool SendAll(std::string_view bytes);
  void Close() { socket_.reset(); }
  bool Valid() const { return socket_.valid(); }

 private:
  explicit EmulatorSocket(unique_socket socket) : socket_(std::move(socket)) {}
  unique_socket socket_;
};

}  // namespace velko::emulator
