#pragma once
// What the dispatch log's header says about the machine it was written on.
#include <string>

namespace platform {

// Kernel name, release, version and machine, as uname reports them.
std::string OperatingSystemDescription();

struct LocalDateTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};
LocalDateTime LocalNow();

} // namespace platform
