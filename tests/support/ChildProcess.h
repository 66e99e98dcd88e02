// Runs this test program again as a child process with one test selected, for
// tests that need a second process (file locks, shared log files). The child
// inherits the environment, so a variable set before Start tells the child
// test that it is the child. The destructor waits for a child still running.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/UniqueHandle_win32.h"
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace velko::testing {

class ChildProcess {
 public:
  // Starts this program with --gtest_filter=<test>; false when it could not.
  bool Start(const std::string& test) {
    const std::string filter = "--gtest_filter=" + test;
#ifdef _WIN32
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path, n) + L"\" " + std::wstring(filter.begin(), filter.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
      return false;
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    running_ = true;
#else
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return false;
    exe[n] = 0;
    std::string arg = filter;
    char* argv[] = {exe, arg.data(), nullptr};
    running_ = posix_spawn(&pid_, exe, nullptr, nullptr, argv, environ) == 0;
#endif
    return running_;
  }

  // The child's exit status (0 when its test passed); -1 when none ran.
  int Wait() {
    if (!running_) return -1;
    running_ = false;
#ifdef _WIN32
    ::WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process_.get(), &code);
    process_.reset();
    return static_cast<int>(code);
#else
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }

  ~ChildProcess() { Wait(); }

 private:
  bool running_ = false;
#ifdef _WIN32
  unique_handle process_;
#else
  pid_t pid_ = 0;
#endif
};

// Waits for a file to appear; false after the time limit.
inline bool WaitForFile(const std::filesystem::path& file, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(file)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace velko::testing
