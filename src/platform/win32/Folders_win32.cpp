#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "common/TextUtf.h"
#include "platform/Folders.h"
#include "platform/PlatformError.h"
#include "platform/win32/SharedFolderSecurity_win32.h"

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

std::optional<std::wstring> UserAppDataFolderPath() { return ShellFolder(CSIDL_APPDATA); }

std::wstring MachineDataRoot() {
  if (auto overridden = EnvFolder(L"VELKO_COMMON_APPDATA")) {
    ::SHCreateDirectoryExW(nullptr, overridden->c_str(), nullptr);
    return *overridden;
  }
  return MachineWideDataFolder();
}

std::wstring MachineWideDataFolder() { return ShellFolder(CSIDL_COMMON_APPDATA).value_or(L""); }

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolder(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; }

namespace {

using LocalPtr = std::unique_ptr<void, LocalFreeDeleter>;

LocalPtr SharedFolderDescriptor() {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kSharedFolderSddl, SDDL_REVISION_1, &sd, nullptr))
    throw PlatformError("The shared folders' access list cannot be built: " + LastSystemErrorText());
  return LocalPtr(sd);
}

std::optional<std::wstring> DescriptorSddl(PSECURITY_DESCRIPTOR sd) {
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
    return std::nullopt;
  const LocalPtr owner(text);
  return std::wstring(text);
}

// A group that stands for every user of the machine (or anyone at all): what
// it may do in a shared folder, any user may.
bool IsEveryUser(PSID sid) {
  for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinInteractiveSid,
                                   WinBuiltinGuestsSid, WinAnonymousSid, WinNetworkSid, WinBatchSid,
                                   WinServiceSid})
    if (::IsWellKnownSid(sid, type)) return true;
  return false;
}

}  // namespace

std::optional<std::wstring> AccessListSddl(const std::wstring& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, nullptr, nullptr, &sd);
  const LocalPtr owner(sd);
  if (rc != ERROR_SUCCESS) return std::nullopt;
  return DescriptorSddl(sd);
}

std::optional<std::wstring> SharedFolderSddlRoundTrip() {
  const LocalPtr sd = SharedFolderDescriptor();
  return DescriptorSddl(sd.get());
}

bool CreateSharedFolder(const std::wstring& path) {
  const LocalPtr sd = SharedFolderDescriptor();
  SECURITY_ATTRIBUTES security{sizeof security, sd.get(), FALSE};
  return ::CreateDirectoryW(path.c_str(), &security) != 0;
}

std::optional<std::string> SharedFolderFault(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, &dacl, nullptr, &sd);
  const LocalPtr owner(sd);
  if (rc != ERROR_SUCCESS) return std::nullopt;
  const std::string folder = WideToUtf8(path);
  if (!dacl) return folder + " has no access list: every user may delete, rename or replace what is in it";
  // Rights that let any user remove or replace what others made: on the
  // folder itself, and on the files it hands down. (Grants to one account,
  // its owner's say, are that account's business.)
  constexpr DWORD kFolderRights = GENERIC_ALL | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER |
                                  FILE_DELETE_CHILD | FILE_ADD_SUBDIRECTORY;
  constexpr DWORD kFileRights = GENERIC_ALL | DELETE | WRITE_DAC | WRITE_OWNER;
  ACL_SIZE_INFORMATION info{};
  if (!::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return std::nullopt;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!IsEveryUser(sid)) continue;
    const BYTE flags = allowed->Header.AceFlags;
    const bool on_folder = (flags & INHERIT_ONLY_ACE) == 0;
    const bool on_files = (flags & OBJECT_INHERIT_ACE) != 0;
    if ((on_folder && (allowed->Mask & kFolderRights) != 0) || (on_files && (allowed->Mask & kFileRights) != 0)) {
      const std::optional<std::wstring> sddl = DescriptorSddl(sd);
      return folder + " lets every user delete, rename or replace what is in it" +
             (sddl ? " (access list " + WideToUtf8(*sddl) + ")" : std::string());
    }
  }
  return std::nullopt;
}

bool RepairSharedFolder(const std::wstring& path) {
  const LocalPtr sd = SharedFolderDescriptor();
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present) return false;
  // The files already in it get the list's inherited entries in place of
  // the old ones; a settings file keeps its own protected list.
  return ::SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

}  // namespace velko
