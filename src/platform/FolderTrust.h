// Whether a folder that other accounts of the machine can reach, and a file in
// it, belong to the till: the one rule for the numerator, the debug log, the
// settings file and the emulator's files.
//
// A folder is the till's when an administrator made it (POSIX: root; Windows:
// SYSTEM or Administrators) or this account did, and only the till's accounts
// may create or change files in it: POSIX a group owns it (root:velko, mode
// 3770: setgid and sticky), Windows its protected list grants create and write
// to one group (Users unless an administrator narrowed it). A folder someone
// else made, or one open to other accounts, is repaired where this process
// may, and is otherwise not used. Folders of the older kind, where every
// account may create files but none may remove another's (POSIX 1777, Windows
// the list that granted every signed-in user), keep the numerator that tills
// already number there, with a warning, until an administrator narrows them.
//
// A file there is the till's when it is a regular file with one name (no link
// or reparse point), owned by an account the folder admits, and writable by no
// one else. Every check is made on the opened handle. Thread-safe; stateless.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velko {

// The group of the till's accounts that the machine-wide folders are given to
// on POSIX (`velko doctor` prints the commands that make it).
inline constexpr char kTillGroup[] = "velko";

enum class FolderOwner { kAdministrator, kThisAccount, kOther };

enum class FolderAccess {
  kTillOnly,       // only administrators, the owner and one group create or change files
  kEveryAccount,   // every account may create files, none may remove or replace another's
  kOpen,           // some account may remove or replace what others made
};

enum class FolderVerdict {
  kUse,          // the till's folder
  kUseRepaired,  // it was not, and this process made it so
  kUseWarned,    // an older every-account folder, kept for the numerator already there
  kRefuse,       // not the till's, and it could not be mended
};

// The decision itself, apart from how a platform reads a folder's owner and
// list and whether it could repair it. `keepEveryAccount`: the numerator
// stays in an older every-account folder rather than moving to a fresh one.
FolderVerdict DecideFolder(FolderOwner owner, FolderAccess access, bool repaired, bool keepEveryAccount);

struct FolderCheck {
  bool exists = false;
  FolderVerdict verdict = FolderVerdict::kRefuse;
  FolderOwner owner = FolderOwner::kOther;
  FolderAccess access = FolderAccess::kOpen;
  std::string ownerName;  // the account or group that owns it, as the system names it
  // Names the folder and its owner, and says what is wrong, whenever the
  // verdict is not kUse (for kUseRepaired: what was mended).
  std::string reason;
  // Windows: the one group the list lets create files stands for every local
  // account (Users, as registration makes it): a note for the doctor.
  bool groupIsEveryLocalAccount = false;
};

// Examines an existing folder without following a link in its place, and
// repairs it where this process may. exists is false when nothing is there.
FolderCheck CheckTillFolder(const std::wstring& path, bool keepEveryAccount);

// Creates one level of a folder for the till (the parent must exist): POSIX
// root:velko 3770 when that group exists and this process may give it, else
// only this account's (0700); Windows the protected shared list. False when it
// could not be created.
bool CreateTillFolder(const std::wstring& path);

// Why an existing file may not be used as the till's (naming the path and its
// owner); nullopt when it may, or when nothing is there.
std::optional<std::string> UntrustedFileReason(const std::wstring& path);

}  // namespace velko

namespace velko {

// The one command (POSIX: for root) that gives the machine-wide folders to the
// till's group: it creates the ones named in `missing` and narrows the older
// every-account ones named in `narrow` with the files in them, and adds
// `account` to the group. Windows: what an administrator runs instead.
std::string TillFolderCommand(const std::vector<std::wstring>& missing, const std::vector<std::wstring>& narrow,
                              const std::string& account);
// This account's name, as the commands above take it.
std::string ThisAccountName();

// Whether this process may create files in an existing folder (POSIX: the
// effective account's write and search rights; Windows: a probe file).
bool MayCreateFilesIn(const std::wstring& folder);

// Read-only commands (`velko numerator show`, `velko doctor`) look at the
// till's folders without making any: while a ScopedLookOnly lives, nothing
// creates a folder or moves a numerator. Process-wide; make it on the
// command's thread before any driver object.
class ScopedLookOnly {
 public:
  ScopedLookOnly();
  ~ScopedLookOnly();
  ScopedLookOnly(const ScopedLookOnly&) = delete;
  ScopedLookOnly& operator=(const ScopedLookOnly&) = delete;
};
bool FoldersLookOnly();

}  // namespace velko
