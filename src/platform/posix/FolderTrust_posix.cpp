#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/TextUtf.h"
#include "platform/FolderTrust.h"
#include "platform/Folders.h"
#include "platform/LockedFile.h"
#include "platform/UniqueResource.h"
#include "platform/posix/FileTrust_posix.h"

namespace velko {
namespace {

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<gid_t> TillGroupId() {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(kTillGroup, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
  return found->gr_gid;
}

// Whether the account belongs to the group (its own group or a listed one);
// an account the system does not know belongs to none.
bool IsMember(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  if (found->pw_gid == gid) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i)
    if (groups[static_cast<size_t>(i)] == gid) return true;
  return false;
}

bool IsEveryAccountFolder(const struct stat& st) { return (st.st_mode & S_IWOTH) && (st.st_mode & S_ISVTX); }
bool IsGroupFolder(const struct stat& st) { return (st.st_mode & S_IWGRP) && !(st.st_mode & S_IWOTH); }

FolderOwner OwnerOf(uid_t uid) {
  if (uid == 0) return FolderOwner::kAdministrator;
  return uid == geteuid() ? FolderOwner::kThisAccount : FolderOwner::kOther;
}

FolderAccess AccessOf(const struct stat& st) {
  if (st.st_mode & S_IWOTH) return (st.st_mode & S_ISVTX) ? FolderAccess::kEveryAccount : FolderAccess::kOpen;
  return FolderAccess::kTillOnly;
}

}  // namespace

std::string AccountName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return std::string(found->gr_name) + " (gid " + std::to_string(gid) + ")";
  return "gid " + std::to_string(gid);
}

std::optional<std::string> UntrustedOpenFile(int fd, const std::string& path, bool ownerOnly) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return path + " cannot be examined";
  if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
  if (st.st_nlink != 1) return path + " " + kSecondNameReason + ", it is not used";
  struct stat folder {};
  if (stat(ParentOf(path).c_str(), &folder) != 0) return path + ": its folder cannot be examined";
  // An older every-account folder: the sticky bit keeps each file its
  // creator's, and the tills of several accounts share the numerator there.
  if (!ownerOnly && IsEveryAccountFolder(folder)) return std::nullopt;
  const bool admitted = st.st_uid == 0 || st.st_uid == geteuid() ||
                        (!ownerOnly && IsGroupFolder(folder) && st.st_gid == folder.st_gid &&
                         IsMember(st.st_uid, folder.st_gid));
  if (!admitted)
    return path + " belongs to " + AccountName(st.st_uid) + (ownerOnly ? ", not to this account" : ", whom its folder does not admit") +
           "; it is not used";
  // This account's own file that an older version left writable by others
  // is narrowed (it is ours to mend); another's is refused.
  const bool group_may = IsGroupFolder(folder) && st.st_gid == folder.st_gid;
  const bool open_to_others = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !group_may);
  if (open_to_others && st.st_uid == geteuid() && !ownerOnly) {
    mode_t mode = st.st_mode & 07777 & ~static_cast<mode_t>(S_IWOTH);
    if (!group_may) mode &= ~static_cast<mode_t>(S_IWGRP);
    if (fchmod(fd, mode) == 0) return std::nullopt;
  }
  if (st.st_mode & S_IWOTH) return path + " (owner " + AccountName(st.st_uid) + ") may be changed by every account; it is not used";
  if ((st.st_mode & S_IWGRP) && !group_may && !ownerOnly)
    return path + " (owner " + AccountName(st.st_uid) + ") may be changed by the group " + GroupName(st.st_gid) +
           ", which its folder does not admit; it is not used";
  return std::nullopt;
}

mode_t CreatedFileMode(const std::string& path) {
  struct stat folder {};
  if (stat(ParentOf(path).c_str(), &folder) != 0) return 0600;
  if (IsEveryAccountFolder(folder)) return 0666;
  if (IsGroupFolder(folder)) return 0660;
  return 0600;
}

FolderCheck CheckTillFolder(const std::wstring& path, bool keepEveryAccount) {
  FolderCheck check;
  std::string narrow = WideToUtf8(path);
  while (narrow.size() > 1 && narrow.back() == '/') narrow.pop_back();
  unique_fd folder(open(narrow.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    struct stat st {};
    if (lstat(narrow.c_str(), &st) != 0) {
      check.exists = errno != ENOENT;
      check.reason = narrow + " cannot be examined";
      return check;
    }
    check.exists = true;
    check.ownerName = AccountName(st.st_uid);
    check.reason = narrow + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a folder") + " (owner " +
                   check.ownerName + "), it is not used";
    return check;
  }
  check.exists = true;
  struct stat st {};
  if (fstat(folder.get(), &st) != 0) {
    check.reason = narrow + " cannot be examined";
    return check;
  }
  check.owner = OwnerOf(st.st_uid);
  check.access = AccessOf(st);
  check.ownerName = AccountName(st.st_uid);
  // The fault older versions could leave, writable by every account without
  // the sticky bit, is mended where its owner or root runs the till; a group
  // is the administrator's choice and is never given here.
  if (check.access == FolderAccess::kOpen && check.owner != FolderOwner::kOther &&
      fchmod(folder.get(), (st.st_mode & 07777) | S_ISVTX) == 0)
    check.access = FolderAccess::kEveryAccount;
  // This account's own folder, which older versions opened to every
  // account: it becomes this account's alone again.
  bool repaired = false;
  if (check.owner == FolderOwner::kThisAccount && check.access != FolderAccess::kTillOnly && geteuid() != 0) {
    const std::optional<std::wstring> user = UserAppDataFolderPath();
    const std::string own = user ? WideToUtf8(IncludeTrailingPathDelimiter(*user)) : std::string();
    if (!own.empty() && narrow.compare(0, own.size(), own) == 0 && fchmod(folder.get(), 0700) == 0) {
      repaired = true;
      check.access = FolderAccess::kTillOnly;
    }
  }
  check.verdict = DecideFolder(check.owner, check.access, repaired, keepEveryAccount);
  const std::string who = " (owner " + check.ownerName + ", group " + GroupName(st.st_gid) + ")";
  if (check.owner == FolderOwner::kOther)
    check.reason = narrow + who + " was made by an account that is neither root nor this one; it is not used";
  else if (check.access == FolderAccess::kOpen)
    check.reason = narrow + who + " lets every account remove or replace what is in it; it is not used";
  else if (check.access == FolderAccess::kEveryAccount)
    check.reason = narrow + who + " lets every account create files in it (an older folder, mode 1777)" +
                   (check.verdict == FolderVerdict::kUseWarned ? "; its numerator is kept until an administrator "
                                                                 "gives the folder to the till's group"
                                                               : "; it is not used");
  return check;
}

bool CreateTillFolder(const std::wstring& path) {
  std::string narrow = WideToUtf8(path);
  while (narrow.size() > 1 && narrow.back() == '/') narrow.pop_back();
  if (mkdir(narrow.c_str(), 0700) != 0) return false;
  // Only the till's group may work in it; without that group, only this account.
  if (const std::optional<gid_t> group = TillGroupId();
      group && (geteuid() == 0 || IsMember(geteuid(), *group)) && chown(narrow.c_str(), static_cast<uid_t>(-1), *group) == 0)
    (void)chmod(narrow.c_str(), 03770);
  return true;
}

std::optional<std::string> UntrustedFileReason(const std::wstring& path) {
  const std::string narrow = WideToUtf8(path);
  unique_fd file(open(narrow.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) {
    struct stat st {};
    if (lstat(narrow.c_str(), &st) != 0) return std::nullopt;
    if (S_ISLNK(st.st_mode)) return narrow + " is a symbolic link, not a regular file";
    if (!S_ISREG(st.st_mode)) return narrow + " is not a regular file";
    return std::nullopt;  // a file this account may not read says so when it is opened
  }
  return UntrustedOpenFile(file.get(), narrow);
}

}  // namespace velko

namespace velko {

std::string ThisAccountName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(geteuid());
}

bool MayCreateFilesIn(const std::wstring& folder) {
  return faccessat(AT_FDCWD, WideToUtf8(folder).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string TillFolderCommand(const std::vector<std::wstring>& missing, const std::vector<std::wstring>& narrow,
                              const std::string& account) {
  const std::string group = kTillGroup;
  std::string command = "sudo sh -c 'groupadd -f " + group + " && usermod -aG " + group + " " + account;
  if (!missing.empty()) {
    command += " && install -d -o root -g " + group + " -m 3770";
    for (const std::wstring& folder : missing) command += " " + WideToUtf8(folder);
  }
  for (const std::wstring& folder : narrow) {
    const std::string f = WideToUtf8(folder);
    command += " && chown root:" + group + " " + f + " && chmod 3770 " + f + " && find " + f +
               " -maxdepth 1 -type f -exec chgrp " + group + " {} + -exec chmod 0660 {} +";
  }
  return command + "'  (then sign the till's account in again)";
}

}  // namespace velko
