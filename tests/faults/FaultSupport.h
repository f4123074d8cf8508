#pragma once
// Measures the fault tests share: open descriptors, live threads and CPU time
// of this process.
#include <chrono>
#include <filesystem>
#include <string>

#include <ctime>

#include "tests/support/Wait.h"

namespace faults {

inline int CountEntries(const char *dir) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    ++n;
  return n;
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int LiveThreads() { return CountEntries("/proc/self/task"); }

// CPU time used by the whole process so far.
inline std::chrono::nanoseconds ProcessCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Wall and CPU time over a span; share() is CPU per wall time (1.0 = one
// core busy all the time).
class CpuMeter {
public:
  CpuMeter() : wall_(std::chrono::steady_clock::now()), cpu_(ProcessCpu()) {}
  double Share() const {
    const auto wall = std::chrono::steady_clock::now() - wall_;
    const auto cpu = ProcessCpu() - cpu_;
    return wall.count() > 0 ? double(cpu.count()) / double(std::chrono::nanoseconds(wall).count()) : 0.0;
  }
  std::chrono::steady_clock::duration Wall() const { return std::chrono::steady_clock::now() - wall_; }

private:
  std::chrono::steady_clock::time_point wall_;
  std::chrono::nanoseconds cpu_;
};

} // namespace faults
