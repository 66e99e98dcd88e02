#include <windows.h>

#include "platform/SystemInfo.h"

namespace velko {

std::optional<OsVersion> QueryOsVersion() {
  // GetVersionEx answers what the compatibility shims make of the program's
  // manifest; the kernel's own query reports the version that really runs.
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  bool known = false;
  if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
    auto query = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    known = query && query(&info) == 0;
  }
  if (!known) return std::nullopt;
  OsVersion version;
  version.Windows = true;
  version.Major = info.dwMajorVersion;
  version.Minor = info.dwMinorVersion;
  version.Build = info.dwBuildNumber;
  version.NTPlatform = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  version.ServicePack = info.szCSDVersion;
  return version;
}

LocalDateTime LocalNow() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return LocalDateTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                       now.wMilliseconds};
}

}  // namespace velko
