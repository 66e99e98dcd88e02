// Keys of an INI file: the per-device settings file.
//
// Windows: the platform's own INI service (GetPrivateProfileStringW /
// WritePrivateProfileStringW), so the file is what the host's tools expect;
// a file it creates is UTF-16 (with a byte-order mark), older files keep their
// encoding.
// POSIX: a reader and writer of our own, in UTF-8 (a byte-order mark that an
// editor left is skipped); a write replaces the file
// through a temporary file and a rename, so a crash never leaves half a file
// and the other keys are kept. Section and key names compare without regard
// to letter case; values are read with blanks removed at both ends. Not
// locked: two writers of one file at once keep the last writer's keys.
#pragma once

#include <string>

namespace velko {

// The longest value that a read hands back; longer ones are cut.
constexpr size_t kIniValueMaxLength = 2047;

// The value of `key` in `section`, or `fallback` when the file, the section or
// the key is missing.
std::wstring ReadIniString(const std::wstring& file, const std::wstring& section,
                           const std::wstring& key, const std::wstring& fallback);

// Writes one key, creating the file and the section when missing; false when
// the file could not be written.
bool WriteIniString(const std::wstring& file, const std::wstring& section,
                    const std::wstring& key, const std::wstring& value);

// Gives a file that holds settings its own access list, inherited from nothing,
// so that no user but its writer and the machine's administrators can change
// it: Windows grants full control to SYSTEM, Administrators and the writing
// user and read to Users; POSIX makes it 0644. A missing file is created empty
// with that list (in the encoding WriteIniString would give it). False when
// the list cannot be set (another user's file, not a regular file, a link,
// a file with a second name). Windows reads and writes no file with a
// second name or a reparse point in its place either (the INI service
// would follow a link).
bool ProtectIniFile(const std::wstring& file);

}  // namespace velko
