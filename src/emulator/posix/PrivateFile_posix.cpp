#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "emulator/PrivateFile.h"
#include "platform/UniqueResource.h"
#include "platform/posix/FileTrust_posix.h"

namespace velko::emulator {

void MakePrivateFile(const std::string& path) {
  // Never through a link; a file another account made first (and may still
  // hold open, or read) is not the emulator's to write card data into.
  const unique_fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!file) throw std::runtime_error("cannot open the file " + path + ": " + std::strerror(errno));
  if (auto reason = UntrustedOpenFile(file.get(), path, true)) throw std::runtime_error("refused: " + *reason);
  if (::fchmod(file.get(), 0600) != 0)
    throw std::runtime_error("cannot make " + path + " private to this account: " + std::strerror(errno));
}

}  // namespace velko::emulator
