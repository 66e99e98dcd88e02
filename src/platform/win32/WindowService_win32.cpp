#include <windows.h>

#include "platform/WindowService.h"

namespace velko {
namespace {

HWND ToHwnd(WindowHandle h) { return reinterpret_cast<HWND>(h); }

class Win32WindowService : public WindowService {
 public:
  WindowHandle ForegroundWindow() override {
    return reinterpret_cast<WindowHandle>(::GetForegroundWindow());
  }
  void EnableInput(WindowHandle window, bool enable) override {
    ::EnableWindow(ToHwnd(window), enable ? TRUE : FALSE);
  }
  void BringToForeground(WindowHandle window) override { ::SetForegroundWindow(ToHwnd(window)); }
  void SendFocusMessage(WindowHandle window) override {
    ::SendMessageW(ToHwnd(window), WM_SETFOCUS, 0, 0);
  }
  void ShowErrorBox(const std::wstring& caption, const std::wstring& text) override {
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
  }
};

}  // namespace

WindowService& PlatformWindowService() {
  static Win32WindowService service;
  return service;
}

}  // namespace velko
