// A TCP client connection (IPv4) whose events reach the thread that created
// it, with the wait for the next event.
//
// Windows: the socket's notifications arrive as window messages to a
// message-only window of the creating thread; the wait sleeps until the next
// message of the thread (MsgWaitForMultipleObjectsEx) and then dispatches all
// of the thread's pending messages, so the host's windows keep working while
// an exchange waits. POSIX: the wait is a poll() on the socket with the time
// left. Neither polls on a timer.
//
// The data handler runs inside Wait, on the creating thread, whenever bytes
// have arrived (or the peer has closed); it reads them with Receive. Use one
// object from one thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velko {

class TcpClient {
 public:
  enum class State { Closed, Connecting, Connected, Failed };

  virtual ~TcpClient() = default;

  // Ends the current connection, if any; harmless when there is none.
  virtual void Close() = 0;
  // Resolves the address (dotted IPv4 or a host name) and starts connecting;
  // the outcome shows in GetState after a Wait. Throws PlatformError when the
  // address cannot be resolved or the socket cannot be created.
  virtual void Connect(const std::string& address, uint16_t port) = 0;
  virtual State GetState() const = 0;
  // Queues the bytes; what the socket does not take now goes out during Wait.
  virtual void Send(std::string_view bytes) = 0;
  // The bytes available now (at most max_bytes); empty when none.
  virtual std::string Receive(size_t max_bytes) = 0;
  // True once the peer has closed its side.
  virtual bool PeerClosed() const = 0;
  virtual void SetDataHandler(std::function<void()> handler) = 0;
  // Sleeps until the next event or until timeout_ms have passed, then
  // handles what has arrived (dispatching the thread's messages on Windows).
  virtual void Wait(uint32_t timeout_ms) = 0;
};

std::unique_ptr<TcpClient> CreatePlatformTcpClient();

}  // namespace velko
