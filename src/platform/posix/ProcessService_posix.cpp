#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

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

  uint64_t TickCount() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  void Sleep(uint32_t milliseconds) override {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

ProcessService& PlatformProcessService() {
  static PosixProcessService service;
  return service;
}

std::wstring ReadFileVersion(const std::wstring&) { return L"0.0.0.0"; }

}  // namespace velko
