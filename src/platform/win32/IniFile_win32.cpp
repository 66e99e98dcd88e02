#include <windows.h>
#include <aclapi.h>

#include <memory>
#include <vector>

#include "platform/IniFile.h"
#include "platform/LockedFile.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {
namespace {

struct LocalFreeDeleter {
  void operator()(void* p) const {
    if (p) ::LocalFree(p);
  }
};
using LocalPtr = std::unique_ptr<void, LocalFreeDeleter>;

// A new file starts with a UTF-16 byte-order mark: the INI service then keeps
// it in UTF-16, so Cyrillic texts survive whatever the ANSI code page is.
bool CreateWithByteOrderMark(const std::wstring& file, SECURITY_ATTRIBUTES* security) {
  unique_hfile created(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created) return false;
  static const unsigned char kBom[] = {0xFF, 0xFE};
  DWORD written = 0;
  const bool ok = ::WriteFile(created.get(), kBom, sizeof kBom, &written, nullptr) && written == sizeof kBom;
  created.reset();
  if (!ok) ::DeleteFileW(file.c_str());
  return ok;
}

// The SID of the user this process runs as, in memory owned by `buffer`.
PSID CurrentUserSid(std::vector<unsigned char>& buffer) {
  unique_handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return nullptr;
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  buffer.resize(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return nullptr;
  return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

// Full control for SYSTEM, Administrators and the writing user, read for
// Users, nothing else: the list a settings file gets.
LocalPtr SettingsFileAcl() {
  std::vector<unsigned char> user_buffer;
  const PSID user = CurrentUserSid(user_buffer);
  if (!user) return nullptr;
  unsigned char system[SECURITY_MAX_SID_SIZE], admins[SECURITY_MAX_SID_SIZE], users[SECURITY_MAX_SID_SIZE];
  DWORD n1 = sizeof system, n2 = sizeof admins, n3 = sizeof users;
  if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &n1) ||
      !::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &n2) ||
      !::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &n3))
    return nullptr;
  struct Grant {
    PSID sid;
    DWORD access;
    TRUSTEE_TYPE type;
  };
  const Grant grants[] = {{system, FILE_ALL_ACCESS, TRUSTEE_IS_WELL_KNOWN_GROUP},
                          {admins, FILE_ALL_ACCESS, TRUSTEE_IS_ALIAS},
                          {user, FILE_ALL_ACCESS, TRUSTEE_IS_USER},
                          {users, FILE_GENERIC_READ, TRUSTEE_IS_ALIAS}};
  EXPLICIT_ACCESSW entries[4] = {};
  for (size_t i = 0; i < 4; ++i) {
    entries[i].grfAccessPermissions = grants[i].access;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = NO_INHERITANCE;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = grants[i].type;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(grants[i].sid);
  }
  PACL acl = nullptr;
  if (::SetEntriesInAclW(4, entries, nullptr, &acl) != ERROR_SUCCESS) return nullptr;
  return LocalPtr(acl);
}

}  // namespace

std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& fallback) {
  // The INI service follows links: what stands in the file's place is
  // looked at first, without following it.
  if (RefusedFileReason(file)) return fallback;
  std::vector<wchar_t> buf(kIniValueMaxLength + 1);
  const DWORD n = ::GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(),
                                             buf.data(), static_cast<DWORD>(buf.size()),
                                             file.c_str());
  return std::wstring(buf.data(), n);
}

bool WriteIniString(const std::wstring& file, const std::wstring& section,
                    const std::wstring& key, const std::wstring& value) {
  if (RefusedFileReason(file)) return false;
  // Existing files are left in the encoding they have.
  if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) CreateWithByteOrderMark(file, nullptr);
  return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), file.c_str()) != 0;
}

bool ProtectIniFile(const std::wstring& file) {
  const LocalPtr acl = SettingsFileAcl();
  if (!acl) return false;
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (RefusedFileReason(file)) return false;
    return ::SetNamedSecurityInfoW(const_cast<LPWSTR>(file.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, static_cast<PACL>(acl.get()), nullptr) == ERROR_SUCCESS;
  }
  // A new file has the list from its first moment: no other user can open it
  // for writing in between.
  SECURITY_DESCRIPTOR descriptor{};
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, static_cast<PACL>(acl.get()), FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return false;
  SECURITY_ATTRIBUTES security{sizeof security, &descriptor, FALSE};
  return CreateWithByteOrderMark(file, &security);
}

}  // namespace velko
