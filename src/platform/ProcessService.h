// Facts about the process and the module: the host executable's name, the
// module's own file and version, the millisecond tick counter and sleeping.
//
// Windows reads them from the system (the version from the module's own version
// resource); POSIX reports the executable from /proc and the version that the
// build set. Tests and the velko command may stand in another host executable
// name through Services(). Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace velko {

class ProcessService {
 public:
  virtual ~ProcessService() = default;
  // The host process's executable file name, without its folder.
  virtual std::wstring HostExecutableName() = 0;
  // The full path of the module that holds this code (the DLL, or the program).
  virtual std::wstring ModuleFilePath() = 0;
  // The module's file version as "a.b.c.d", "0.0.0.0" without one.
  virtual std::wstring ModuleFileVersion() = 0;
  // Milliseconds since an arbitrary start; 64 bits, so it never wraps in practice.
  virtual uint64_t TickCount() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

ProcessService& PlatformProcessService();

// The file version of any file as "a.b.c.d"; "0.0.0.0" for a file without
// version information (and for every file on POSIX, which has no such thing).
std::wstring ReadFileVersion(const std::wstring& path);

// "%d.%d.%d.%d" of a fixed file version's two 32-bit halves.
std::wstring FormatFileVersion(uint32_t most_significant, uint32_t least_significant);

}  // namespace velko
