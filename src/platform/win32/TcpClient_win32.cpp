#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <mutex>

#include "platform/Ipv4Address.h"
#include "platform/PlatformError.h"
#include "platform/TcpClient.h"
#include "platform/UniqueSocket.h"
#include "platform/win32/OwnModule_win32.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {
namespace {

// The message that carries the socket's notifications to our window.
constexpr UINT kSocketMessage = WM_APP + 0x561;
constexpr wchar_t kWindowClass[] = L"VelkoTcpClientNotifications";

std::string WinsockErrorText(int code) { return SystemErrorText(static_cast<unsigned long>(code)); }

class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) throw PlatformError("Unable to start Windows Sockets: " + WinsockErrorText(rc));
  }
  ~WinsockSession() { ::WSACleanup(); }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// The socket window's class belongs to the module that holds this code and
// is registered only while a client lives: a class left behind after the DLL
// is unloaded would keep a window procedure at an address where no code is,
// and the next load (elsewhere) would create its windows with it.
class WindowClassUse {
 public:
  WindowClassUse() {
    std::lock_guard<std::mutex> hold(Lock());
    if (Users()++ > 0) return;
    WNDCLASSW wc{};
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = OwnModule();
    wc.lpszClassName = kWindowClass;
    if (!::RegisterClassW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      --Users();
      throw PlatformError("Unable to register the socket window class: " + LastSystemErrorText());
    }
  }
  ~WindowClassUse() {
    std::lock_guard<std::mutex> hold(Lock());
    if (--Users() == 0) ::UnregisterClassW(kWindowClass, OwnModule());
  }
  WindowClassUse(const WindowClassUse&) = delete;
  WindowClassUse& operator=(const WindowClassUse&) = delete;

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static int& Users() {
    static int users = 0;
    return users;
  }
};

class Win32TcpClient : public TcpClient {
 public:
  Win32TcpClient() {
    // A message-only window of the creating thread: the socket's events
    // arrive in this thread's queue, and dispatching them runs OnSocketEvent.
    window_.reset(::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, OwnModule(),
                                    nullptr));
    if (!window_) throw PlatformError("Unable to create the socket window: " + LastSystemErrorText());
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  ~Win32TcpClient() override {
    Close();
    // The window goes with its owner, before the class it needs.
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
  }

  void Close() override {
    if (quit_pending_) {
      // The quit request taken during the exchange's waits goes back to the
      // thread's own message loop now that the exchange is over.
      quit_pending_ = false;
      ::PostQuitMessage(quit_code_);
    }
    CloseSocket();
    state_ = State::Closed;
    peer_closed_ = false;
    pending_.clear();
  }

  void Connect(const std::string& address, uint16_t port) override {
    Close();
    sockaddr_in target = ResolveIpv4(address, port);  // winsock_ has started Windows Sockets
    socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_) throw PlatformError("Unable to create a socket: " + WinsockErrorText(::WSAGetLastError()));
    const BOOL one = TRUE;
    ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // Makes the socket non-blocking and routes its events to our window.
    if (::WSAAsyncSelect(socket_.get(), window_.get(), kSocketMessage, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
      const int err = ::WSAGetLastError();
      Close();
      throw PlatformError("Unable to watch the socket: " + WinsockErrorText(err));
    }
    state_ = State::Connecting;
    if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
      state_ = State::Connected;
    } else if (::WSAGetLastError() != WSAEWOULDBLOCK) {
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
      const int want = static_cast<int>(std::min(sizeof buf, max_bytes - out.size()));
      const int n = ::recv(socket_.get(), buf, want, 0);
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) peer_closed_ = true;
      break;
    }
    return out;
  }

  bool PeerClosed() const override { return peer_closed_; }
  void SetDataHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

  void Wait(uint32_t timeout_ms) override {
    // Sleeps until a message is in the thread's queue (also one that was
    // already there), then takes, translates and dispatches every pending one.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Kept for the thread's own message loop and posted again by Close:
        // posted now, it would wake every later wait at once and the wait
        // would spin until its time-out.
        quit_pending_ = true;
        quit_code_ = static_cast<int>(msg.wParam);
        break;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

 private:
  friend LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  void OnSocketEvent(SOCKET socket, int event, int error) {
    if (!socket_ || socket != socket_.get()) return;  // a closed connection's leftovers
    switch (event) {
      case FD_CONNECT:
        if (error != 0) Fail();
        else state_ = State::Connected;
        Flush();
        break;
      case FD_WRITE:
        Flush();
        break;
      case FD_READ:
      case FD_CLOSE:
        if (state_ != State::Connected) break;
        if (handler_) handler_();
        else Receive(SIZE_MAX);
        if (event == FD_CLOSE) peer_closed_ = true;
        break;
      default:
        break;
    }
  }

  void Fail() {
    CloseSocket();
    state_ = State::Failed;
  }

  // No more notifications for the socket, then the socket itself.
  void CloseSocket() {
    if (socket_) ::WSAAsyncSelect(socket_.get(), window_.get(), 0, 0);
    socket_.reset();
  }

  void Flush() {
    if (!socket_ || state_ != State::Connected) return;
    while (!pending_.empty()) {
      const int n = ::send(socket_.get(), pending_.data(),
                           static_cast<int>(std::min<size_t>(pending_.size(), 0x7FFFFFFF)), 0);
      if (n > 0) {
        pending_.erase(0, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return;  // FD_WRITE comes later
      pending_.clear();
      peer_closed_ = true;
      return;
    }
  }

  WindowClassUse class_use_;  // first in, last out: the window needs its class
  WinsockSession winsock_;
  unique_hwnd window_;
  bool quit_pending_ = false;
  int quit_code_ = 0;
  unique_socket socket_;
  State state_ = State::Closed;
  bool peer_closed_ = false;
  std::string pending_;
  std::function<void()> handler_;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kSocketMessage) {
    auto* self = reinterpret_cast<Win32TcpClient*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) self->OnSocketEvent(static_cast<SOCKET>(wparam), WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam));
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

std::unique_ptr<TcpClient> CreatePlatformTcpClient() { return std::make_unique<Win32TcpClient>(); }

}  // namespace velko
