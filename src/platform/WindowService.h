// Window operations of the host's user interface that the driver touches: the
// focus stack around each host call and the modal error box.
//
// Windows: the real user32 operations. POSIX: there are no host windows, so the
// window operations do nothing and the error box is a message on standard
// error. Tests install a fake through Services(). Call on the host's thread.
#pragma once

#include <cstdint>
#include <string>

namespace velko {

using WindowHandle = uintptr_t;  // 0 is "no window"

class WindowService {
 public:
  virtual ~WindowService() = default;
  virtual WindowHandle ForegroundWindow() = 0;
  virtual bool IsForeground(WindowHandle window) { return ForegroundWindow() == window; }
  virtual void EnableInput(WindowHandle window, bool enable) = 0;
  virtual void BringToForeground(WindowHandle window) = 0;
  // Sends WM_SETFOCUS with both message parameters 0.
  virtual void SendFocusMessage(WindowHandle window) = 0;
  // Modal, no owner window, error icon, one OK button; returns when closed.
  virtual void ShowErrorBox(const std::wstring& caption, const std::wstring& text) = 0;
};

// The platform's own implementation (process-wide, stateless).
WindowService& PlatformWindowService();

}  // namespace velko
