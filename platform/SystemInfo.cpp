#include "platform/SystemInfo.h"

#include <sys/utsname.h>
#include <time.h>

namespace platform {

std::string OperatingSystemDescription() {
  utsname u{};
  if (uname(&u) != 0)
    return "Linux";
  std::string s = u.sysname;
  for (const char *part : {u.release, u.version, u.machine}) {
    if (*part) {
      s += ' ';
      s += part;
    }
  }
  return s;
}

LocalDateTime LocalNow() {
  const time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

} // namespace platform
