// Facts about the operating system and the clock, for the debug log: the
// system's version and the current local date and time. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velko {

struct OsVersion {
  bool Windows = false;
  // Windows: the real version (not the one a compatibility shim reports).
  uint32_t Major = 0, Minor = 0, Build = 0;
  bool NTPlatform = false;
  std::wstring ServicePack;  // may be empty
  // POSIX: the system's name and release as uname() gives them.
  std::wstring SystemName, Release;
};

// nullopt when the system does not answer.
std::optional<OsVersion> QueryOsVersion();

struct LocalDateTime {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};

LocalDateTime LocalNow();

}  // namespace velko
