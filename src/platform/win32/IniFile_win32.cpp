#include <windows.h>

#include <vector>

#include "platform/IniFile.h"

namespace velko {

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& fallback) {
  std::vector<wchar_t> buf(kIniValueMaxLength + 1);
  const DWORD n = ::GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(),
                                             buf.data(), static_cast<DWORD>(buf.size()),
                                             file.c_str());
  return std::wstring(buf.data(), n);
}

bool WriteIniString(const std::wstring& file, const std::wstring& section,
                    const std::wstring& key, const std::wstring& value) {
  // A new file starts with a UTF-16 byte-order mark: the INI service then keeps
  // it in UTF-16, so Cyrillic texts survive whatever the ANSI code page is.
  // Existing files are left in the encoding they have.
  if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const HANDLE created = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
      static const unsigned char kBom[] = {0xFF, 0xFE};
      DWORD written = 0;
      const BOOL ok = ::WriteFile(created, kBom, sizeof kBom, &written, nullptr);
      ::CloseHandle(created);
      if (!ok || written != sizeof kBom) ::DeleteFileW(file.c_str());
    }
  }
  return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.c_str()) != 0;
}

}  // namespace velko
