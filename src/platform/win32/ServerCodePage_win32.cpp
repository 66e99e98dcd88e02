#include <windows.h>

#include <string>

#include "platform/ServerCodePage.h"

namespace velko {
namespace {

// The machine's ANSI code page, or the code page whose number (optionally
// after "CP") VELKO_SERVER_CODEPAGE names: a server on another machine, or a
// test. Read at every conversion: it is cheap, and a test may change it.
UINT CodePage() {
  char text[16];
  const DWORD n = ::GetEnvironmentVariableA(kServerCodePageVariable, text, sizeof text);
  if (n == 0 || n >= sizeof text) return ::GetACP();
  const char* p = text;
  if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'P' || p[1] == 'p')) p += 2;
  UINT number = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9' || number > 100000) return ::GetACP();
    number = number * 10 + static_cast<UINT>(*p - '0');
  }
  return ::IsValidCodePage(number) ? number : ::GetACP();
}

}  // namespace

// Lengths are counted in bytes after the conversion, so
// even a double-byte ANSI code page cannot mislabel a field.
std::string WideToServerCodePage(std::wstring_view text) {
  if (text.empty()) return {};
  const UINT cp = CodePage();
  const int n = ::WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(text.size(), '?');
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring ServerCodePageToWide(std::string_view bytes) {
  if (bytes.empty()) return {};
  const UINT cp = CodePage();
  const int n = ::MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, 0);
  if (n <= 0) return std::wstring(bytes.size(), L'?');
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::string ServerCodePageName() { return "CP" + std::to_string(CodePage()); }

}  // namespace velko
