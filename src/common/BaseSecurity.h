// Folders that every user of the machine shares: the numerator folder and the
// debug-log folder live where any user's host process must create, read and
// write files, so a folder made here is opened to everyone at once.
#pragma once

#include <string>

namespace velko {

// Creates the folder (one level: the parent must exist) when it is missing and
// opens it to every user. Throws PlatformError with the system's message when
// the folder cannot be made or opened. Does nothing to a folder that exists.
void EnsureSharedFolder(const std::wstring& path);

}  // namespace velko
