// The file rule of FolderTrust.h on an open POSIX descriptor, for the
// platform's own file code (numerator, log, settings, emulator files), and
// the mode a file gets when the till creates it in a folder. Thread-safe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace velko {

// Why the open file `fd` (at `path`) is not the till's; nullopt when it is.
// `ownerOnly`: only this account's (or root's) file will do, whatever the
// folder admits (the emulator's private files).
std::optional<std::string> UntrustedOpenFile(int fd, const std::string& path, bool ownerOnly = false);

// The mode of a file the till creates in the folder of `path`: 0660 in a
// group's folder, 0666 in an older every-account folder (tills of several
// accounts share its numerator), 0600 elsewhere.
mode_t CreatedFileMode(const std::string& path);

// The name of an account or group for messages: its name, else its number.
std::string AccountName(uid_t uid);
std::string GroupName(gid_t gid);

}  // namespace velko
