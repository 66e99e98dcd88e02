#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/TextUtf.h"
#include "platform/SharedFile.h"

namespace velko {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

AppendResult AppendDenyingWriters(const std::wstring& path, std::string_view bytes) {
  const std::string narrow = WideToUtf8(path);
  bool created = true;
  // Every user may write to the log's folder: a symbolic link, a second name
  // of another file or anything but a regular file found in the log's place
  // is not written to (O_EXCL and O_NOFOLLOW never follow a link).
  int fd = ::open(narrow.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(narrow.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) return AppendResult::kFailed;
  FileDescriptor file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return AppendResult::kFailed;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK || errno == EINTR ? AppendResult::kBusy : AppendResult::kFailed;
  // The folder is shared by every user of the machine, and so is the file.
  if (created) ::fchmod(fd, 0666);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return AppendResult::kFailed;
    }
    done += static_cast<size_t>(n);
  }
  return AppendResult::kWritten;  // closing the file releases the lock
}

}  // namespace velko
