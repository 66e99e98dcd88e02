// Appending to a file that several processes share (the debug log).
//
// The file is held only while one piece is appended, and other writers are
// kept out meanwhile, so pieces from different processes never interleave.
// Windows: CreateFileW sharing reads only. POSIX: an exclusive flock() on the
// open file, which also excludes a second open in this process; files are
// created writable only by the till's accounts; a link, anything but a
// regular file, or a file that is not the till's (FolderTrust.h) in the
// file's place fails the append. Thread-safe per call.
#pragma once

#include <string>
#include <string_view>

namespace velko {

enum class AppendResult {
  kWritten,
  kBusy,    // another writer holds the file; worth trying again shortly
  kFailed,  // the file cannot be opened or written
};

AppendResult AppendDenyingWriters(const std::wstring& path, std::string_view bytes);

// Whether this process can make a new file in the folder, the one test that
// tells the truth for every account: a file of a name nobody else uses is
// created exclusively (never through a link, never over a file that is
// there), written, and removed.
bool CanCreateFileIn(const std::wstring& folder);

}  // namespace velko
