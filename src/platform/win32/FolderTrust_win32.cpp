#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/SharedFile.h"
#include "platform/win32/PlainFile_win32.h"
#include "platform/win32/SharedFolderSecurity_win32.h"
#include "platform/win32/UniqueHandle_win32.h"

namespace velko {
namespace {

struct LocalFreeDeleter {
  void operator()(void* p) const { if (p) ::LocalFree(p); }
};
using LocalPtr = std::unique_ptr<void, LocalFreeDeleter>;

// This process's own account, as a SID copied out of its token.
std::vector<unsigned char> ThisAccountSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const unique_handle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<unsigned char> copy(::GetLengthSid(sid));
  ::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
  return copy;
}

std::string SidName(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use{};
  std::string text;
  if (::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    text = WideToUtf8(domain_size > 0 && domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name));
  wchar_t* sddl = nullptr;
  if (::ConvertSidToStringSidW(sid, &sddl)) {
    const LocalPtr owner(sddl);
    text += (text.empty() ? "" : " ") + std::string("(") + WideToUtf8(sddl) + ")";
  }
  return text.empty() ? "an unknown account" : text;
}

FolderOwner OwnerKind(PSID sid) {
  if (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return FolderOwner::kAdministrator;
  const std::vector<unsigned char> self = ThisAccountSid();
  if (!self.empty() && ::EqualSid(sid, const_cast<unsigned char*>(self.data()))) return FolderOwner::kThisAccount;
  return FolderOwner::kOther;
}

// Groups that stand for anyone at all; Users and Authenticated Users are the
// till's group by default (every local account: a note, not a refusal).
bool IsAnyone(PSID sid) {
  for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinInteractiveSid, WinBuiltinGuestsSid, WinAnonymousSid,
                                   WinNetworkSid, WinBatchSid, WinServiceSid})
    if (::IsWellKnownSid(sid, type)) return true;
  return false;
}
bool IsEveryLocalAccount(PSID sid) {
  return ::IsWellKnownSid(sid, WinBuiltinUsersSid) || ::IsWellKnownSid(sid, WinAuthenticatedUserSid);
}

struct ListFacts {
  FolderAccess access = FolderAccess::kTillOnly;
  bool everyLocalAccount = false;
};

ListFacts ReadList(PACL dacl) {
  ListFacts facts;
  if (!dacl) {
    facts.access = FolderAccess::kOpen;
    return facts;
  }
  constexpr DWORD kReplace = GENERIC_ALL | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD |
                             FILE_ADD_SUBDIRECTORY;
  constexpr DWORD kFileReplace = GENERIC_ALL | DELETE | WRITE_DAC | WRITE_OWNER;
  constexpr DWORD kCreate = FILE_ADD_FILE | GENERIC_WRITE | GENERIC_ALL;
  ACL_SIZE_INFORMATION info{};
  if (!::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) {
    facts.access = FolderAccess::kOpen;
    return facts;
  }
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    const bool anyone = IsAnyone(sid), local = IsEveryLocalAccount(sid);
    if (!anyone && !local) continue;
    const BYTE flags = allowed->Header.AceFlags;
    const bool on_folder = (flags & INHERIT_ONLY_ACE) == 0;
    const bool on_files = (flags & OBJECT_INHERIT_ACE) != 0;
    if ((on_folder && (allowed->Mask & kReplace)) || (on_files && (allowed->Mask & kFileReplace))) {
      facts.access = FolderAccess::kOpen;
      return facts;
    }
    if (on_folder && (allowed->Mask & kCreate)) {
      if (anyone) facts.access = FolderAccess::kEveryAccount;
      else facts.everyLocalAccount = true;
    }
  }
  return facts;
}

std::wstring Bare(const std::wstring& path) {
  std::wstring bare = path;
  while (bare.size() > 3 && (bare.back() == L'\\' || bare.back() == L'/')) bare.pop_back();
  return bare;
}

// Gives the folder the till's list, and to Administrators when someone else
// owns it; false when this process may not (it is no administrator's).
bool Repair(HANDLE folder, bool take_ownership) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kSharedFolderSddl, SDDL_REVISION_1, &sd, nullptr))
    return false;
  const LocalPtr owner(sd);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present) return false;
  std::vector<unsigned char> admins(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(admins.size());
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins.data(), &size)) return false;
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  if (take_ownership) what |= OWNER_SECURITY_INFORMATION;
  return ::SetSecurityInfo(folder, SE_FILE_OBJECT, what, take_ownership ? admins.data() : nullptr, nullptr, dacl,
                           nullptr) == ERROR_SUCCESS;
}

}  // namespace

std::optional<std::string> ForeignFileOwner(HANDLE file, const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return WideToUtf8(path) + ": its owner cannot be read";
  const LocalPtr holder(sd);
  if (!owner || OwnerKind(owner) == FolderOwner::kOther)
    return WideToUtf8(path) + " belongs to " + (owner ? SidName(owner) : std::string("nobody")) +
           ", not to this account";
  return std::nullopt;
}

FolderCheck CheckTillFolder(const std::wstring& path, bool keepEveryAccount) {
  FolderCheck check;
  const std::wstring bare = Bare(path);
  const std::string name = WideToUtf8(bare);
  const DWORD attributes = ::GetFileAttributesW(bare.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return check;
  check.exists = true;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    check.reason = name + " is not a folder (a file or a link stands in its place), it is not used";
    return check;
  }
  const DWORD rights[] = {READ_CONTROL | WRITE_DAC | WRITE_OWNER, READ_CONTROL | WRITE_DAC, READ_CONTROL};
  unique_hfile folder;
  DWORD granted = 0;
  for (DWORD access : rights) {
    folder.reset(::CreateFileW(bare.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder) {
      granted = access;
      break;
    }
  }
  if (!folder) {
    check.reason = name + " cannot be examined, it is not used";
    return check;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    check.reason = name + ": its owner and access list cannot be read, it is not used";
    return check;
  }
  const LocalPtr holder(sd);
  check.owner = owner ? OwnerKind(owner) : FolderOwner::kOther;
  check.ownerName = owner ? SidName(owner) : "nobody";
  const ListFacts list = ReadList(dacl);
  check.access = list.access;
  check.groupIsEveryLocalAccount = list.everyLocalAccount;
  bool repaired = false;
  if (DecideFolder(check.owner, check.access, false, false) != FolderVerdict::kUse && (granted & WRITE_DAC)) {
    const bool take = check.owner == FolderOwner::kOther;
    repaired = (!take || (granted & WRITE_OWNER)) && Repair(folder.get(), take);
  }
  check.verdict = DecideFolder(check.owner, check.access, repaired, keepEveryAccount);
  const std::string who = " (owner " + check.ownerName + ")";
  const std::string what = check.owner == FolderOwner::kOther
                               ? " was made by an account that is neither SYSTEM, Administrators nor this one"
                           : check.access == FolderAccess::kOpen ? " lets every account delete, rename or replace what is in it"
                           : check.access == FolderAccess::kEveryAccount ? " lets every account create files in it"
                                                                         : "";
  if (!what.empty()) {
    switch (check.verdict) {
      case FolderVerdict::kUseRepaired: check.reason = name + who + what + "; its access was corrected"; break;
      case FolderVerdict::kUseWarned:
        check.reason = name + who + what + "; its numerator is kept until an administrator corrects the folder";
        break;
      default: check.reason = name + who + what + "; it could not be corrected and is not used"; break;
    }
  }
  return check;
}

bool CreateTillFolder(const std::wstring& path) { return CreateSharedFolder(Bare(path)); }

std::optional<std::string> UntrustedFileReason(const std::wstring& path) {
  const unique_hfile file(::CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return UnopenedFileReason(path);
  return UntrustedOpenFile(file.get(), path);
}

std::optional<std::string> UntrustedOpenFile(HANDLE file, const std::wstring& path) {
  if (auto reason = NotAPlainFile(file, path)) return reason;
  // The folder's group (Users unless narrowed) may create files there, so a
  // file of another of its members is the till's; one whose list lets anyone
  // at all change it is not.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &sd) != ERROR_SUCCESS)
    return WideToUtf8(path) + ": its access list cannot be read";
  const LocalPtr holder(sd);
  if (!dacl) return WideToUtf8(path) + " has no access list: every account may change it; it is not used";
  ACL_SIZE_INFORMATION info{};
  if (::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) {
    for (DWORD i = 0; i < info.AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(dacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      if (IsAnyone(const_cast<DWORD*>(&allowed->SidStart)) &&
          (allowed->Mask & (GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | DELETE)))
        return WideToUtf8(path) + " may be changed by every account; it is not used";
    }
  }
  return std::nullopt;
}

std::string ThisAccountName() {
  wchar_t name[256];
  DWORD size = 256;
  return ::GetUserNameW(name, &size) ? WideToUtf8(name) : std::string("this account");
}

bool MayCreateFilesIn(const std::wstring& folder) { return CanCreateFileIn(folder); }

std::string TillFolderCommand(const std::vector<std::wstring>& missing, const std::vector<std::wstring>& narrow,
                              const std::string& account) {
  (void)account;
  std::string folders;
  for (const auto* list : {&missing, &narrow})
    for (const std::wstring& folder : *list) folders += (folders.empty() ? "" : ", ") + WideToUtf8(folder);
  return "as an administrator, register the add-in (regsvr32 a_velko1c83.dll) or run `velko.exe doctor` once: "
         "it makes or corrects " + (folders.empty() ? std::string("the driver's folders") : folders) +
         " with the till's list";
}

}  // namespace velko
