#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "common/TextUtf.h"
#include "platform/SharedFile.h"
#include "platform/UniqueResource.h"
#include "platform/posix/FileTrust_posix.h"

namespace velko {

AppendResult AppendDenyingWriters(const std::wstring& path, std::string_view bytes) {
  const std::string narrow = WideToUtf8(path);
  bool created = true;
  // Every user may write to the log's folder: a symbolic link, a second name
  // of another file or anything but a regular file found in the log's place
  // is not written to (O_EXCL and O_NOFOLLOW never follow a link).
  const mode_t mode = CreatedFileMode(narrow);
  unique_fd file(::open(narrow.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file && errno == EEXIST) {
    created = false;
    file.reset(::open(narrow.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  }
  if (!file) return AppendResult::kFailed;
  const int fd = file.get();
  // A log someone else made, or one other accounts may change, is not the till's.
  if (UntrustedOpenFile(fd, narrow)) return AppendResult::kFailed;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK || errno == EINTR ? AppendResult::kBusy : AppendResult::kFailed;
  // The till's accounts share the file, whatever the umask says.
  if (created) ::fchmod(fd, mode);
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

bool CanCreateFileIn(const std::wstring& folder) {
  static std::atomic<unsigned> serial{0};
  std::string path = WideToUtf8(folder);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += ".velko-probe-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
  const unique_fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) return false;
  const bool written = ::write(file.get(), "probe", 5) == 5;
  ::unlink(path.c_str());
  return written;
}

}  // namespace velko
