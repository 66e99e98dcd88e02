#include <windows.h>

#include <string>
#include <vector>

#include "platform/ReceiptPrompt.h"

namespace velko {
namespace {

constexpr int kEditId = 100;
constexpr int kLabelId = 101;
constexpr int kClientWidth = 384, kClientHeight = 101;  // pixels at 96 dots per inch

// Owns a GDI font.
class Font {
 public:
  Font(int height, int weight)
      : handle_(::CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH | FF_SWISS, L"Arial")) {}
  ~Font() {
    if (handle_) ::DeleteObject(handle_);
  }
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  HFONT get() const { return handle_; }

 private:
  HFONT handle_;
};

struct DialogState {
  int dpi = 96;
  Font normal{16, FW_NORMAL};
  Font bold{16, FW_BOLD};
  std::wstring text;
};

int Scale(int pixels, int dpi) { return ::MulDiv(pixels, dpi, 96); }

HWND AddControl(HWND dialog, DialogState& state, const wchar_t* cls, const wchar_t* text, DWORD style,
                int x, int y, int w, int h, int id, HFONT font) {
  HWND control = ::CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, Scale(x, state.dpi),
                                   Scale(y, state.dpi), Scale(w, state.dpi), Scale(h, state.dpi), dialog,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return control;
}

// The label's text as the label's font draws it, in pixels; 0 when it cannot
// be measured.
int TextWidth(HWND control, const std::wstring& text) {
  HDC dc = ::GetDC(control);
  if (!dc) return 0;
  const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  const BOOL measured = ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return measured ? size.cx : 0;
}

// Where the system's font draws the label wider than designed, the label
// grows to its text and everything to its right moves along, the dialog
// with it; the designed geometry stays the minimum. Returns the growth.
int FitLabelToText(HWND dialog, HWND label, const std::wstring& text) {
  RECT rect{};
  ::GetWindowRect(label, &rect);
  ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  const int growth = TextWidth(label, text) + 2 - (rect.right - rect.left);
  if (growth <= 0) return 0;
  ::SetWindowPos(label, nullptr, 0, 0, rect.right - rect.left + growth, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER);
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (child == label) continue;
    RECT at{};
    ::GetWindowRect(child, &at);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&at), 2);
    ::SetWindowPos(child, nullptr, at.left + growth, at.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  return growth;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<DialogState*>(lparam);
      ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
      HDC screen = ::GetDC(nullptr);
      state->dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
      if (screen) ::ReleaseDC(nullptr, screen);
      ::SetWindowTextW(dialog, L"Введите номер квитанции:");
      // Creation order is the tab order: the edit, then OK, then Cancel.
      const std::wstring label_text = L"Номер квитанции:";
      HWND label = AddControl(dialog, *state, L"STATIC", label_text.c_str(), 0, 14, 14, 130, 18, kLabelId,
                              state->normal.get());
      HWND edit = AddControl(dialog, *state, L"EDIT", L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_NUMBER,
                             161, 11, 215, 27, kEditId, state->bold.get());
      AddControl(dialog, *state, L"BUTTON", L"ОК", WS_TABSTOP | BS_DEFPUSHBUTTON, 270, 60, 100, 33, IDOK,
                 state->normal.get());
      AddControl(dialog, *state, L"BUTTON", L"Отмена", WS_TABSTOP | BS_PUSHBUTTON, 164, 60, 100, 33, IDCANCEL,
                 state->normal.get());
      const int growth = FitLabelToText(dialog, label, label_text);
      // Client area of the designed size (wider by the label's growth), centred on the screen.
      RECT rect{0, 0, Scale(kClientWidth, state->dpi) + growth, Scale(kClientHeight, state->dpi)};
      ::AdjustWindowRectEx(&rect, static_cast<DWORD>(::GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(::GetWindowLongW(dialog, GWL_EXSTYLE)));
      const int width = rect.right - rect.left, height = rect.bottom - rect.top;
      ::SetWindowPos(dialog, HWND_TOP, (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                     (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, 0);
      ::SetFocus(edit);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK && state) {
        HWND edit = ::GetDlgItem(dialog, kEditId);
        const int length = ::GetWindowTextLengthW(edit);
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
        ::GetWindowTextW(edit, buffer.data(), length + 1);
        const std::wstring text(buffer.data());
        if (!ReceiptNumberTextIsValid(text)) {
          // A pasted "12/5" must not become receipt 125, nor an empty field
          // a void of no receipt: the cashier corrects it or cancels.
          ::MessageBoxW(dialog, text.empty() ? kReceiptNumberMissing : kReceiptNumberHint, L"Номер квитанции",
                        MB_OK | MB_ICONWARNING);
          ::SendMessageW(edit, EM_SETSEL, 0, -1);
          ::SetFocus(edit);
          return TRUE;
        }
        state->text = text;
        ::EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {  // also the close box and Esc
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
    case WM_CTLCOLORDLG:
      return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
    default:
      break;
  }
  return FALSE;
}

// An empty dialog template; the controls are made at WM_INITDIALOG with pixel
// geometry, so no resource script is needed.
std::vector<WORD> DialogTemplate() {
  std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD) + 3, 0);
  auto* header = reinterpret_cast<DLGTEMPLATE*>(words.data());
  header->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND;
  header->cdit = 0;
  // Menu, class and title follow the header: all three empty (zero words).
  return words;
}

class DialogReceiptPrompt : public ReceiptPrompt {
 public:
  std::optional<std::wstring> AskReceiptNumber() override {
    std::vector<WORD> tmpl = DialogTemplate();
    DialogState state;
    const INT_PTR result = ::DialogBoxIndirectParamW(
        ::GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(tmpl.data()), nullptr, DialogProc,
        reinterpret_cast<LPARAM>(&state));
    not_asked_.clear();
    if (result == -1 || result == 0) {
      // No window could be made (no desktop, a service's session): nobody cancelled.
      const DWORD error = ::GetLastError();
      not_asked_ = L"ошибка Windows " + std::to_wstring(error);
      wchar_t* text = nullptr;
      if (::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr) &&
          text) {
        std::wstring message = text;
        ::LocalFree(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
          message.pop_back();
        if (!message.empty()) not_asked_ += L" (" + message + L")";
      }
      return std::nullopt;
    }
    if (result != IDOK) return std::nullopt;
    return state.text;
  }
  std::wstring NotAskedReason() const override { return not_asked_; }

 private:
  std::wstring not_asked_;
};

}  // namespace

ReceiptPrompt& PlatformReceiptPrompt() {
  static DialogReceiptPrompt prompt;
  return prompt;
}

}  // namespace velko
