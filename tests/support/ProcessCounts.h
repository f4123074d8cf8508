#pragma once
// What this process holds and has used, for checks that nothing leaks and
// nothing spins: open descriptors, live threads and CPU time.
#include <chrono>

#include <dirent.h>
#include <time.h>

namespace support {

// Entries of a /proc folder, -1 when it cannot be read.
inline int CountEntries(const char *path) {
  DIR *d = opendir(path);
  if (!d)
    return -1;
  int n = 0;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.')
      ++n;
  closedir(d);
  return n;
}

inline int OpenDescriptors() {
  const int n = CountEntries("/proc/self/fd");
  return n < 0 ? n : n - 1; // the directory stream's own descriptor
}

inline int LiveThreads() { return CountEntries("/proc/self/task"); }

// CPU time used by the whole process so far.
inline std::chrono::nanoseconds ProcessCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Wall and CPU time over a span; Share() is CPU per wall time (1.0 = one
// core busy all the time).
class CpuMeter {
public:
  CpuMeter() : wall_(std::chrono::steady_clock::now()), cpu_(ProcessCpu()) {}
  double Share() const {
    const auto wall = std::chrono::steady_clock::now() - wall_;
    const auto cpu = ProcessCpu() - cpu_;
    return wall.count() > 0 ? double(cpu.count()) / double(std::chrono::nanoseconds(wall).count()) : 0.0;
  }

private:
  std::chrono::steady_clock::time_point wall_;
  std::chrono::nanoseconds cpu_;
};

} // namespace support
