#pragma once
// Median and p99 of a set of timings, as every benchmark here reports them.
#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

struct Stats {
  double median = 0, p99 = 0;
};

inline Stats Summarise(std::vector<double> v) {
  if (v.empty())
    return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

template <class Duration>
double Micros(Duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

template <class Duration>
double Millis(Duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace bench
