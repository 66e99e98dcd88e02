#include <chrono>
#include <sys/utsname.h>
#include <time.h>

#include "common/TextUtf.h"
#include "platform/SystemInfo.h"

namespace velko {

std::optional<OsVersion> QueryOsVersion() {
  utsname names{};
  if (::uname(&names) != 0) return std::nullopt;
  OsVersion version;
  version.SystemName = Utf8ToWide(names.sysname);
  version.Release = Utf8ToWide(names.release);
  return version;
}

LocalDateTime LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  tm parts{};
  ::localtime_r(&seconds, &parts);
  return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min, parts.tm_sec, static_cast<int>(millis)};
}

}  // namespace velko
