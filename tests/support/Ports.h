#pragma once
// Ports by name: a scratch start directory for this test process, whose
// COMn entries are links to whatever a test wants port n to be.
#include "platform/SerialDevice.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <string>

namespace support {

// Made the start directory the first time it is asked for.
inline const std::filesystem::path &StartDir() {
  static const TempDir dir("ports");
  static const bool set = (platform::SetStartDirectory(dir.Path().string()), true);
  (void)set;
  return dir.Path();
}

inline std::filesystem::path ComEntry(int n) { return StartDir() / ("COM" + std::to_string(n)); }

// Points COMn at target; returns the name the port goes by.
inline std::string LinkPort(int n, const std::filesystem::path &target) {
  std::error_code ec;
  std::filesystem::remove(ComEntry(n), ec);
  std::filesystem::create_symlink(target, ComEntry(n));
  return "\\\\.\\COM" + std::to_string(n);
}

} // namespace support
