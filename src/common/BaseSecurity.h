// Folders that the till's accounts share: the numerator folder and the
// debug-log and settings folder live where every account that runs the till
// must create, read and write files, and where no other account may change
// them (platform/FolderTrust.h says when a folder is the till's).
#pragma once

#include <string>

namespace velko {

// Creates the folder (one level: the parent must exist) as a shared folder
// when it is missing. A folder that exists with access that lets users
// remove or replace others' files (as older versions made it) is corrected
// where this process may (an administrator's); otherwise it is left for
// `velko doctor` to name. Throws PlatformError with the system's message
// when the folder cannot be made.
void EnsureSharedFolder(const std::wstring& path);

// Where the log and settings folder `sub` is: under the machine-wide data
// folder when that one is the till's and this account can work in it (made
// there when missing and `create`, never under ScopedLookOnly), else in the
// user's own data folder. Folder is empty when there is none at all.
struct TSharedFolderChoice {
  std::wstring Folder;  // without a trailing delimiter
  bool MachineWide = false;
  bool Exists = false;
  // Why the user's own folder serves (the machine-wide one's refusal, or
  // what this account cannot create there); empty when machine-wide.
  std::wstring Note;
  std::wstring Fix;  // the one command that gives the till the machine-wide folder
};
TSharedFolderChoice ChooseSharedFolder(const std::wstring& sub, bool create);

}  // namespace velko

namespace velko {

// What machine-wide registration (which runs elevated) does for the till:
// makes the numerator folder and the log and settings folder under the
// machine-wide data folder with the till's access, and corrects existing
// ones where it may. Never throws; what it could not do, the doctor names.
void PrepareTillFolders() noexcept;

}  // namespace velko
