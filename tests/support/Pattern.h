#pragma once
// Bytes of every value in an order that repeats only after a long while, so
// a byte lost, doubled or moved shows in a comparison.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace support {

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed;
  for (auto &b : v) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return v;
}

} // namespace support
