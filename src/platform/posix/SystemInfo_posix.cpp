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
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  ::localtime_r(&now.tv_sec, &parts);
  return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min, parts.tm_sec, static_cast<int>(now.tv_nsec / 1000000)};
}

}  // namespace velko
