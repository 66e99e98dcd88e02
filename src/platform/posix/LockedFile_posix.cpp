#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/TextUtf.h"
#include "platform/LockedFile.h"
#include "platform/FolderTrust.h"
#include "platform/UniqueResource.h"
#include "platform/posix/FileTrust_posix.h"

namespace velko {
namespace {

class PosixLockedFile : public LockedFile {
 public:
  // Closing the file (when the object goes) also drops the flock.
  explicit PosixLockedFile(unique_fd file) : file_(std::move(file)) {}

  bool Size(uint64_t& size) override {
    struct stat st {};
    if (fstat(file_.get(), &st) != 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool LockRange(uint64_t length) override { return SetRange(length, F_WRLCK); }
  void UnlockRange(uint64_t length) override { SetRange(length, F_UNLCK); }

  bool ReadAt(uint64_t offset, void* buffer, size_t length, size_t& got) override {
    got = 0;
    auto* out = static_cast<char*>(buffer);
    while (got < length) {
      const ssize_t n = pread(file_.get(), out + got, length - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    return true;
  }

  bool WriteAt(uint64_t offset, const void* data, size_t length) override {
    const auto* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
      const ssize_t n = pwrite(file_.get(), in + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool Flush() override { return fsync(file_.get()) == 0; }

 private:
  // Open-file-description locks, where the system has them, belong to this
  // open like the flock and never clash with it.
  bool SetRange(uint64_t length, short type) {
    if (length == 0) return true;
#ifdef F_OFD_SETLK
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = static_cast<off_t>(length);
    return fcntl(file_.get(), F_OFD_SETLK, &lock) == 0;
#else
    (void)type;
    return true;  // the flock already excludes every other holder
#endif
  }

  unique_fd file_;
};

class PosixFileService : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    const std::string narrow = WideToUtf8(path);
    // O_NOFOLLOW: a symbolic link fails the open, a dangling one included
    // (which O_CREAT alone would follow and create its target).
    unique_fd file(open(narrow.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file && errno == ENOENT) {
      // The till's accounts share the file (its folder's group), whatever
      // the umask says; no other account may change it.
      const mode_t mode = CreatedFileMode(narrow);
      file.reset(open(narrow.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      if (file) fchmod(file.get(), mode);
    }
    if (!file) return nullptr;
    if (UntrustedOpenFile(file.get(), narrow)) return nullptr;
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    return std::make_unique<PosixLockedFile>(std::move(file));
  }
};

}  // namespace

FileService& PlatformFileService() {
  static PosixFileService service;
  return service;
}

std::optional<std::string> RefusedFileReason(const std::wstring& path) { return UntrustedFileReason(path); }

}  // namespace velko
