// The data folders of the machine and the user, and folder housekeeping.
//
// VELKO_COMMON_APPDATA, when set and not empty, replaces the machine-wide
// application-data folder on every platform, so tests and the demo never touch
// the real one. Windows: the shell folders CSIDL_COMMON_APPDATA / CSIDL_APPDATA
// and an access-list grant to Everyone. POSIX: /var/lib when the process can
// write there, otherwise $XDG_DATA_HOME (or ~/.local/share), which is also the
// user's folder; "open to everyone" is mode 01777 (the sticky bit: a user
// cannot remove or rename another user's files there). Thread-safe.
#pragma once

#include <optional>
#include <string>

namespace velko {

// The platform's path delimiter ('\\' on Windows, '/' elsewhere).
wchar_t PathDelimiter();
std::wstring IncludeTrailingPathDelimiter(const std::wstring& path);

// The machine-wide application-data folder (created if missing), or nullopt.
std::optional<std::wstring> CommonAppDataFolder();
// The current user's application-data folder, or nullopt.
std::optional<std::wstring> UserAppDataFolder();

bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Creates one folder level (the parent must exist); false when it failed.
bool CreateFolder(const std::wstring& path);
// Opens the folder to every user of the machine; throws PlatformError.
void GrantAccessToEveryone(const std::wstring& path);

}  // namespace velko
