// Files that one holder uses exclusively: the receipt numerator's file.
//
// OpenExclusive opens (creating when missing) a file for reading and writing
// so that no other open of it can coexist, in this process or in another:
// Windows opens with no sharing at all; POSIX takes an exclusive flock() on
// the open file description, which also excludes a second open in the same
// process (plain fcntl locks would not). A new file is writable only by the
// till's accounts (FolderTrust.h), and a file that is not the till's is not
// opened. The byte-range lock mirrors the Windows lock over the bytes
// that were there when the file was opened. The file lives in a folder every
// user may write to, so the open refuses whatever another user may have put
// in its place: POSIX opens without following a symbolic link and accepts
// only a regular file with one name.
//
// A LockedFile is owned by one thread at a time; closing is the destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velko {

class LockedFile {
 public:
  virtual ~LockedFile() = default;
  virtual bool Size(uint64_t& size) = 0;
  // A range of zero bytes locks nothing and succeeds.
  virtual bool LockRange(uint64_t length) = 0;
  virtual void UnlockRange(uint64_t length) = 0;
  // Reads up to `length` bytes at `offset`; `got` tells how many came.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) = 0;
  // Writes all bytes at `offset`; false when any did not reach the file.
  virtual bool WriteAt(uint64_t offset, const void* data, size_t length) = 0;
  // Pushes what was written to stable storage.
  virtual bool Flush() = 0;
};

class FileService {
 public:
  virtual ~FileService() = default;
  // nullptr when the file cannot be opened exclusively (held elsewhere, no
  // folder, no rights).
  virtual std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) = 0;
};

FileService& PlatformFileService();

// Why `path` can never be opened exclusively, however often it is tried: a
// symbolic link, a folder, a device or another kind of file, or a file with a
// second name, is in its place. The text names the path. nullopt when nothing
// bars it (a missing file or one that another holder has open is no reason).
std::optional<std::string> RefusedFileReason(const std::wstring& path);
// How that text names a file with a second name (a hard link someone made),
// which is mended by removing the other name, not the file.
inline constexpr char kSecondNameReason[] = "has more than one name (a hard link)";

}  // namespace velko
