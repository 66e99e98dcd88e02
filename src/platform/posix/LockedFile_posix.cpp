#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/TextUtf.h"
#include "platform/LockedFile.h"
#include "platform/UniqueResource.h"

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

// A file that another user may have planted is refused: a link (symbolic or a
// second name of some other file), or anything that is no regular file.
bool IsPlainFile(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

class PosixFileService : public FileService {
 public:
  std::unique_ptr<LockedFile> OpenExclusive(const std::wstring& path) override {
    const std::string narrow = WideToUtf8(path);
    // O_NOFOLLOW: a symbolic link fails the open, a dangling one included
    // (which O_CREAT alone would follow and create its target).
    unique_fd file(open(narrow.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file && errno == ENOENT) {
      file.reset(open(narrow.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      // Every user of the machine shares the file, whatever the umask says.
      if (file) fchmod(file.get(), 0666);
    }
    if (!file) return nullptr;
    struct stat st {};
    if (fstat(file.get(), &st) != 0 || !IsPlainFile(st)) return nullptr;
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    return std::make_unique<PosixLockedFile>(std::move(file));
  }
};

}  // namespace

FileService& PlatformFileService() {
  static PosixFileService service;
  return service;
}

std::optional<std::string> RefusedFileReason(const std::wstring& path) {
  const std::string narrow = WideToUtf8(path);
  struct stat st {};
  if (lstat(narrow.c_str(), &st) != 0 || IsPlainFile(st)) return std::nullopt;
  if (S_ISLNK(st.st_mode)) return narrow + " is a symbolic link, not a regular file";
  if (S_ISREG(st.st_mode)) return narrow + " " + kSecondNameReason + ", it is not used";
  return narrow + " is not a regular file";
}

}  // namespace velko
