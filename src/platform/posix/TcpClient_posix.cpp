#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/PlatformError.h"
#include "platform/TcpClient.h"

namespace velko {
namespace {

class PosixTcpClient : public TcpClient {
 public:
  ~PosixTcpClient() override { Close(); }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = State::Closed;
    peer_closed_ = false;
    pending_.clear();
  }

  void Connect(const std::string& address, uint16_t port) override {
    Close();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      const int rc = address.empty() ? EAI_NONAME : ::getaddrinfo(address.c_str(), nullptr, &hints, &found);
      if (rc != 0 || !found)
        throw PlatformError("Unable to resolve the server address \"" + address +
                            "\": " + (rc ? ::gai_strerror(rc) : "no IPv4 address"));
      target.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw PlatformError("Unable to create a socket: " + LastSystemErrorText());
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
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
    if (fd_ < 0 || state_ != State::Connected) return out;
    char buf[4096];
    while (out.size() < max_bytes) {
      const size_t want = std::min(sizeof buf, max_bytes - out.size());
      const ssize_t n = ::recv(fd_, buf, want, 0);
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
    if (fd_ >= 0) {
      if (state_ == State::Connecting) p.events = POLLOUT;
      if (state_ == State::Connected) {
        if (!peer_closed_) p.events |= POLLIN;
        if (!pending_.empty()) p.events |= POLLOUT;
      }
      // With nothing to watch, the wait is a plain sleep for the time left.
      if (p.events) p.fd = fd_;
    }
    const int timeout = timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
    const int rc = ::poll(&p, 1, timeout);
    if (rc <= 0 || p.fd < 0) return;
    if (state_ == State::Connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
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
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = State::Failed;
  }

  void Flush() {
    if (fd_ < 0 || state_ != State::Connected) return;
    while (!pending_.empty()) {
      const ssize_t n = ::send(fd_, pending_.data(), pending_.size(), MSG_NOSIGNAL);
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

  int fd_ = -1;
  State state_ = State::Closed;
  bool peer_closed_ = false;
  std::string pending_;
  std::function<void()> handler_;
};

}  // namespace

std::unique_ptr<TcpClient> CreatePlatformTcpClient() { return std::make_unique<PosixTcpClient>(); }

}  // namespace velko
