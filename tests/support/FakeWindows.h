// A window service that records what the driver does to windows, for tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/WindowService.h"

namespace velko::testing {

class FakeWindowService : public WindowService {
 public:
  WindowHandle foreground = 0;
  std::vector<std::pair<WindowHandle, bool>> enabled;  // (window, enable) in call order
  std::vector<WindowHandle> brought_forward;
  std::vector<WindowHandle> focus_messages;
  std::vector<std::pair<std::wstring, std::wstring>> error_boxes;  // (caption, text)

  WindowHandle ForegroundWindow() override { return foreground; }
  void EnableInput(WindowHandle window, bool enable) override { enabled.emplace_back(window, enable); }
  void BringToForeground(WindowHandle window) override {
    brought_forward.push_back(window);
    foreground = window;
  }
  void SendFocusMessage(WindowHandle window) override { focus_messages.push_back(window); }
  void ShowErrorBox(const std::wstring& caption, const std::wstring& text) override {
    error_boxes.emplace_back(caption, text);
  }
};

}  // namespace velko::testing
