#include "emulator/PrivateFile.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace velko::emulator {

void MakePrivateFile(const std::string& path) {
  namespace fs = std::filesystem;
  {
    std::ofstream create(path, std::ios::binary | std::ios::app);
    if (!create) throw std::runtime_error("cannot open the file " + path);
  }
  // Nothing has been written yet: an empty file is all another account
  // could have seen.
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ignored);
}

}  // namespace velko::emulator
