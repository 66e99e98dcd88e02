// POSIX has no host windows: the focus operations do nothing, and the error box
// becomes a message on standard error so that a person running the driver
// from a terminal still sees it.
#include <cstdio>

#include "common/TextUtf.h"
#include "platform/WindowService.h"

namespace velko {
namespace {

class PosixWindowService : public WindowService {
 public:
  WindowHandle ForegroundWindow() override { return 0; }
  void EnableInput(WindowHandle, bool) override {}
  void BringToForeground(WindowHandle) override {}
  void SendFocusMessage(WindowHandle) override {}
  void ShowErrorBox(const std::wstring& caption, const std::wstring& text) override {
    std::fprintf(stderr, "%s: %s\n", WideToUtf8(caption).c_str(), WideToUtf8(text).c_str());
    std::fflush(stderr);
  }
};

}  // namespace

WindowService& PlatformWindowService() {
  static PosixWindowService service;
  return service;
}

}  // namespace velko
