#pragma once
// The few POSIX helpers the simulated unit's line code shares.
#include <cerrno>
#include <string>
#include <system_error>

#include <unistd.h>

namespace rotorsim::posix {

[[noreturn]] inline void fail(const std::string &what, int err = errno) {
  throw std::system_error(err, std::generic_category(), "rotorsim: " + what);
}

inline void closeFd(int &fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

} // namespace rotorsim::posix
