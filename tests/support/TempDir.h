// A fresh temporary folder for one test, removed with everything in it at the
// end; optionally installed as the machine-wide data folder
// (VELKO_COMMON_APPDATA) so that nothing touches the real one.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/TextUtf.h"

namespace velko::testing {

inline void SetEnvVar(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
#endif
}

class TempDir {
 public:
  explicit TempDir(bool as_common_appdata = false) : as_appdata_(as_common_appdata) {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("velko-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
    if (as_appdata_) SetEnvVar("VELKO_COMMON_APPDATA", path_.string());
  }
  ~TempDir() {
    if (as_appdata_) SetEnvVar("VELKO_COMMON_APPDATA", "");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::wstring WPath() const { return path_.wstring(); }

 private:
  std::filesystem::path path_;
  bool as_appdata_;
};

inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::filesystem::path& file, const std::vector<unsigned char>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velko::testing
