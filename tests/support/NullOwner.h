#pragma once
// A dispatcher owner that handles nothing: a failure code stays what it is
// and nothing is shown. It counts both, for tests that a path raised none.
#include "dispatcher/AwUser.h"

#include <atomic>
#include <exception>

namespace support {

struct NullOwner : TApdDispatcherOwner {
  std::atomic<int> checks{0};
  std::atomic<int> shown{0};
  int32_t DispatcherErrorCheck(int32_t code) override {
    ++checks;
    return code;
  }
  void ShowDispatcherException(const std::exception &) override { ++shown; }
};

} // namespace support
