// The one test of a file in a folder every user may write to: it must be a
// plain file, not a reparse point (a link or junction someone put in its
// place), not a folder, and with one name only (no hard link to some other
// file). Files are opened with FILE_FLAG_OPEN_REPARSE_POINT, so the handle
// is the thing in the folder and never what a link points to. Thread-safe.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace velko {

// Why the open handle is not a plain file, naming `path`; nullopt when it is.
std::optional<std::string> NotAPlainFile(HANDLE file, const std::wstring& path);
// The reason for a path that could not be opened for a look at it: a link or
// a folder in its place; nullopt when nothing is there or nothing is known.
std::optional<std::string> UnopenedFileReason(const std::wstring& path);

// Why the open handle (opened with READ_CONTROL) is owned by an account that
// is neither SYSTEM, Administrators nor this one, naming `path` and the
// owner; nullopt when it is one of those.
std::optional<std::string> ForeignFileOwner(HANDLE file, const std::wstring& path);

// The file rule of FolderTrust.h on an open handle (opened with READ_CONTROL):
// a plain file that no one at all may change; nullopt when it is the till's.
std::optional<std::string> UntrustedOpenFile(HANDLE file, const std::wstring& path);

}  // namespace velko
