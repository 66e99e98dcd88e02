#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/Ipv4Address.h"
#include "platform/PlatformError.h"
#include "platform/TcpClient.h"
#include "platform/UniqueSocket.h"

namespace velko {
namespace {

class PosixTcpClient : public TcpClient {
 public:
  ~PosixTcpClient() override { Close(); }

  void Close() override {
    socket_.reset();
    state_ = State::Closed;
    peer_closed_ = false;
    pending_.clear();
  }

  void Connect(const std::string& address, uint16_t port) override {
    Close();
    sockaddr_in target = ResolveIpv4(address, port);
    socket_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_) throw PlatformError("Unable to create a socket: " + LastSystemErrorText());
    const int one = 1;
    ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
      state_ = State::Connected;
    } else if (errno == EINPROGRESS) {
      state_ = State::Connecting;
    } else {
      Fail();
    }
  }

  State GetState() const override { return state_; }

  void Send(std::string_view bytes) override {
    pending_.append(bytes);
    Flush();
  }

  std::string Receive(size_t max_bytes) override {
    std::string out;
    if (!socket_ || state_ != State::Connected) return out;
    char buf[4096];
    while (out.size() < max_bytes) {
      const size_t want = std::min(sizeof buf, max_bytes - out.size());
      const ssize_t n = ::recv(socket_.get(), buf, want, 0);
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) peer_closed_ = true;
      else if (errno == EINTR) continue;
      else if (errno != EAGAIN && errno != EWOULDBLOCK) peer_closed_ = true;  // reset: nothing more comes
      break;
    }
    return out;
  }

  bool PeerClosed() const override { return peer_closed_; }
  void SetDataHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

  void Wait(uint32_t timeout_ms) override {
    pollfd p{};
    p.fd = -1;
    if (socket_) {
      if (state_ == State::Connecting) p.events = POLLOUT;
      if (state_ == State::Connected) {
        if (!peer_closed_) p.events |= POLLIN;
        if (!pending_.empty()) p.events |= POLLOUT;
      }
      // With nothing to watch, the wait is a plain sleep for the time left.
      if (p.events) p.fd = socket_.get();
    }
    const int timeout = timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
    const int rc = ::poll(&p, 1, timeout);
    if (rc <= 0 || p.fd < 0) return;
    if (state_ == State::Connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0) state_ = State::Connected;
      else Fail();
      return;
    }
    if (p.revents & POLLOUT) Flush();
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      // The handler reads what came (Receive); once the peer has closed,
      // the socket is no longer watched for reading, so waits keep sleeping.
      if (handler_) handler_();
      else Receive(SIZE_MAX);
    }
  }

 private:
  void Fail() {
    socket_.reset();
    state_ = State::Failed;
  }

  void Flush() {
    if (!socket_ || state_ != State::Connected) return;
    while (!pending_.empty()) {
      const ssize_t n = ::send(socket_.get(), pending_.data(), pending_.size(), MSG_NOSIGNAL);
      if (n > 0) {
        pending_.erase(0, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      pending_.clear();  // the connection is gone; the answer wait will tell
      peer_closed_ = true;
      return;
    }
  }

  unique_socket socket_;
  State state_ = State::Closed;
  bool peer_closed_ = false;
  std::string pending_;
  std::function<void()> handler_;
};

}  // namespace

std::unique_ptr<TcpClient> CreatePlatformTcpClient() { return std::make_unique<PosixTcpClient>(); }

}  // namespace velko
