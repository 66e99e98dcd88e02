// The data folders of the machine and the user, and folder housekeeping.
//
// VELKO_COMMON_APPDATA, when set and not empty, replaces the machine-wide
// application-data folder on every platform, so tests and the demo never touch
// the real one. Windows: the shell folders CSIDL_COMMON_APPDATA / CSIDL_APPDATA.
// POSIX: /var/lib whenever the driver's folders exist there or the process
// can create them; otherwise none, and the callers use the user's folder,
// $XDG_DATA_HOME (or ~/.local/share).
//
// CreateSharedFolder, SharedFolderFault and RepairSharedFolder keep the
// older kind of shared folder, where every user's till creates, reads and
// writes files and no user may delete, rename or replace what another made
// (Windows: a protected access list, SharedFolderSecurity_win32.h; POSIX:
// mode 01777). Whether a folder is the till's, and how the driver makes its
// own, is FolderTrust.h. Thread-safe.
#pragma once

#include <optional>
#include <string>

namespace velko {

// The platform's path delimiter ('\\' on Windows, '/' elsewhere).
wchar_t PathDelimiter();
std::wstring IncludeTrailingPathDelimiter(const std::wstring& path);

// The machine-wide application-data folder (created if missing), or nullopt.
// POSIX: MachineWideDataFolder() when the driver's folders exist there or
// this process may create them, nullopt otherwise (the caller then falls
// back to the user's folder, which other accounts do not share).
std::optional<std::wstring> CommonAppDataFolder();
// Where the machine-wide folder is, whether or not this process may use it:
// POSIX "/var/lib"; Windows the shell's common application-data folder, or
// empty when there is none.
std::wstring MachineWideDataFolder();
// The current user's application-data folder, or nullopt.
std::optional<std::wstring> UserAppDataFolder();
// Where that folder is, without creating it; nullopt when there is none.
std::optional<std::wstring> UserAppDataFolderPath();
// The folder under which the driver's machine-wide folders live, whether or
// not this process may use them: VELKO_COMMON_APPDATA (created when missing)
// or MachineWideDataFolder(); empty when there is none.
std::wstring MachineDataRoot();

bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Creates one folder level (the parent must exist); false when it failed.
bool CreateFolder(const std::wstring& path);
// Creates one level of a shared folder (the parent must exist), with its
// access from the first moment; false when it could not be created. Throws
// PlatformError when its access cannot be set.
bool CreateSharedFolder(const std::wstring& path);
// What lets another user delete, rename or replace the files of an existing
// shared folder (the grant of full control to everyone that older versions
// gave, no sticky bit), as a text naming the folder; nullopt when nothing
// does, or when its access cannot be read.
std::optional<std::string> SharedFolderFault(const std::wstring& path);
// Gives an existing folder the shared folder's access; false when this
// process may not change it (only administrators, or the owner on POSIX).
bool RepairSharedFolder(const std::wstring& path);

}  // namespace velko
