// A private machine-wide data folder for one test: VELKO_COMMON_APPDATA points
// at a fresh temporary folder for the test's life and the folder is removed
// afterwards, so no test touches the real data folders.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

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

inline int ProcessId() {
#ifdef _WIN32
  return _getpid();
#else
  return getpid();
#endif
}

class TempDataFolder {
 public:
  explicit TempDataFolder(const std::string& tag) {
    static int serial = 0;
    root_ = std::filesystem::temp_directory_path() /
            ("velko_" + tag + "_" + std::to_string(ProcessId()) + "_" + std::to_string(++serial));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    const char* previous = std::getenv("VELKO_COMMON_APPDATA");
    previous_ = previous ? previous : "";
    SetEnvVar("VELKO_COMMON_APPDATA", root_.string());
  }
  ~TempDataFolder() {
    SetEnvVar("VELKO_COMMON_APPDATA", previous_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempDataFolder(const TempDataFolder&) = delete;
  TempDataFolder& operator=(const TempDataFolder&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::wstring Wide() const { return root_.wstring(); }

 private:
  std::filesystem::path root_;
  std::string previous_;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace velko::testing
