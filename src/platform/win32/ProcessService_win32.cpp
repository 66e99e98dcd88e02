#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ProcessService.h"
#include "platform/win32/OwnModule_win32.h"

namespace velko {

HMODULE OwnModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

namespace {

std::wstring ModulePath(HMODULE module) {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return L"";
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

class Win32ProcessService : public ProcessService {
 public:
  std::wstring HostExecutableName() override {
    const std::wstring path = ModulePath(nullptr);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
  }
  std::wstring ModuleFilePath() override { return ModulePath(OwnModule()); }
  std::wstring ModuleFileVersion() override { return ReadFileVersion(ModuleFilePath()); }
  uint64_t TickCount() override { return ::GetTickCount64(); }
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

ProcessService& PlatformProcessService() {
  static Win32ProcessService service;
  return service;
}

std::wstring ReadFileVersion(const std::wstring& path) {
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (size == 0) return L"0.0.0.0";
  std::vector<unsigned char> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return L"0.0.0.0";
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof(VS_FIXEDFILEINFO))
    return L"0.0.0.0";
  return FormatFileVersion(info->dwFileVersionMS, info->dwFileVersionLS);
}

}  // namespace velko
