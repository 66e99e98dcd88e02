// Byte-level file helpers for tests that read and write the numerator file;
// the private data folder itself is TempDataFolder.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "support/TempDataFolder.h"

namespace velko::testing {

inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::filesystem::path& file, const std::vector<unsigned char>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velko::testing
