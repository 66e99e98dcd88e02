// Any bytes as the settings file: reading keys never crashes or hands back
// more than the longest value, and a key written into such a file reads back
// as written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/TextUtf.h"
#include "platform/IniFile.h"

namespace {

const std::wstring& FilePath() {
  static const std::wstring path = [] {
    char name[] = "/tmp/velko-ini-fuzz-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) std::abort();
    ::close(fd);
    return velko::Utf8ToWide(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring& path = FilePath();
  {
    std::ofstream out(velko::WideToUtf8(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  static const wchar_t* const kSections[] = {L"Settings", L"a_velko1c83", L"", L"S"};
  static const wchar_t* const kKeys[] = {L"ServerPort", L"ServerAddress", L"", L"K", L"k"};
  for (const wchar_t* section : kSections) {
    for (const wchar_t* key : kKeys) {
      const std::wstring value = velko::ReadIniString(path, section, key, L"<none>");
      if (value.size() > velko::kIniValueMaxLength && value != L"<none>") std::abort();
    }
  }
  if (!velko::WriteIniString(path, L"Fuzz", L"Written", L"value 1")) std::abort();
  if (velko::ReadIniString(path, L"Fuzz", L"Written", L"") != L"value 1") std::abort();
  if (velko::ReadIniString(path, L"fuzz", L"WRITTEN", L"") != L"value 1") std::abort();
  return 0;
}
