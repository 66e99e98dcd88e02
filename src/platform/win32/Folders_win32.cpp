#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"

namespace velko {
namespace {

std::optional<std::wstring> EnvFolder(const wchar_t* name) {
  wchar_t buf[32768];
  const DWORD n = ::GetEnvironmentVariableW(name, buf, 32768);
  if (n == 0 || n >= 32768) return std::nullopt;
  return std::wstring(buf, n);
}

std::optional<std::wstring> ShellFolder(int csidl) {
  wchar_t path[MAX_PATH];
  if (FAILED(::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)))
    return std::nullopt;
  return std::wstring(path);
}

struct LocalFreeDeleter {
  void operator()(void* p) const { if (p) ::LocalFree(p); }
};

}  // namespace

std::string SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> owner(text);
  if (n == 0 || !text) return "system error " + std::to_string(code);
  std::wstring message(text, n);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return WideToUtf8(message);
}

std::string LastSystemErrorText() { return SystemErrorText(::GetLastError()); }

wchar_t PathDelimiter() { return L'\\'; }

std::wstring IncludeTrailingPathDelimiter(const std::wstring& path) {
  if (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) return path;
  return path + L'\\';
}

std::optional<std::wstring> CommonAppDataFolder() {
  if (auto overridden = EnvFolder(L"VELKO_COMMON_APPDATA")) {
    ::SHCreateDirectoryExW(nullptr, overridden->c_str(), nullptr);
    if (!FolderExists(*overridden)) return std::nullopt;
    return overridden;
  }
  return ShellFolder(CSIDL_COMMON_APPDATA);
}

std::optional<std::wstring> UserAppDataFolder() { return ShellFolder(CSIDL_APPDATA); }

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolder(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; }

void GrantAccessToEveryone(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &dacl, nullptr, &sd);
  std::unique_ptr<void, LocalFreeDeleter> sd_owner(sd);
  if (rc != ERROR_SUCCESS) throw PlatformError(SystemErrorText(rc));
  if (!dacl) return;  // no list at all: everyone has full access already

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
    throw PlatformError(LastSystemErrorText());
  std::unique_ptr<void, decltype(&::FreeSid)> everyone_owner(everyone, &::FreeSid);

  ACL_SIZE_INFORMATION info{};
  if (::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) {
    for (DWORD i = 0; i < info.AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(dacl, i, &ace)) continue;
      auto* header = static_cast<ACE_HEADER*>(ace);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone) &&
          allowed->Mask == GENERIC_ALL)
        return;
    }
  }

  EXPLICIT_ACCESSW grant{};
  grant.grfAccessPermissions = GENERIC_ALL;
  grant.grfAccessMode = GRANT_ACCESS;
  grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  grant.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  PACL merged = nullptr;
  rc = ::SetEntriesInAclW(1, &grant, dacl, &merged);
  std::unique_ptr<void, LocalFreeDeleter> merged_owner(merged);
  if (rc != ERROR_SUCCESS) throw PlatformError(SystemErrorText(rc));
  rc = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, merged, nullptr);
  if (rc != ERROR_SUCCESS) throw PlatformError(SystemErrorText(rc));
}

}  // namespace velko
