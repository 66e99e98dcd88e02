#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "VelkoVersion.h"
#include "common/TextUtf.h"
#include "platform/ProcessService.h"

namespace velko {
namespace {

std::wstring BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return Utf8ToWide(slash == std::string::npos ? path : path.substr(slash + 1));
}

class PosixProcessService : public ProcessService {
 public:
  std::wstring HostExecutableName() override {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return L"";
    return BaseName(std::string(buf, static_cast<size_t>(n)));
  }

  std::wstring ModuleFilePath() override {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PlatformProcessService), &info) && info.dli_fname) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved)) return Utf8ToWide(resolved);
      return Utf8ToWide(info.dli_fname);
    }
    return L"";
  }

  // POSIX files carry no version resource: the build's number stands in.
  std::wstring ModuleFileVersion() override { return AsciiToWide(VELKO_FILE_VERSION_TEXT); }

  // The monotonic clock: a change of the wall clock moves no time-out.
  uint64_t TickCount() override {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
  }

  void Sleep(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

}  // namespace

ProcessService& PlatformProcessService() {
  static PosixProcessService service;
  return service;
}

std::wstring ReadFileVersion(const std::wstring&) { return L"0.0.0.0"; }

}  // namespace velko
