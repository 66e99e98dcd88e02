// Folders that every user of the machine shares: the numerator folder and the
// debug-log and settings folder live where any user's host process must
// create, read and write files, and where none may remove or replace what
// another made (platform/Folders.h says how each platform keeps that).
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

}  // namespace velko
