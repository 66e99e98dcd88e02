#include <windows.h>

#include <string>

#include "platform/ServerCodePage.h"

namespace velko {

// The machine's ANSI code page, as the terminal server on the same machine
// reads and writes it. Lengths are counted in bytes after the conversion, so
// even a double-byte ANSI code page cannot mislabel a field.
std::string WideToServerCodePage(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string(text.size(), '?');
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring ServerCodePageToWide(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, 0);
  if (n <= 0) return std::wstring(bytes.size(), L'?');
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::string ServerCodePageName() { return "CP" + std::to_string(::GetACP()); }

}  // namespace velko
