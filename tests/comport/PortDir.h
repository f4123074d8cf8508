#pragma once
// A scratch start directory whose COMn entries are links to pseudo-terminals
// (present ports) or to nothing (missing ports). Every COM1..COM50 entry that
// is not a terminal is made a dangling link, and devices are looked for in an
// empty tree unless the test gives one, so no real device of the machine
// takes part in a test.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/SerialDevice.h"
#include "platform/SerialPorts.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

namespace testpty {

// True when nobody holds the device's exclusive lock.
inline bool Lockable(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return false;
  const bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return ok;
}

class PortDir {
public:
  PortDir() = default;
  PortDir(const PortDir &) = delete;
  PortDir &operator=(const PortDir &) = delete;

  // COMn -> a new pseudo-terminal whose far end stays open with the test.
  void AddPty(int n) {
    auto &pty = ptys_[n] = std::make_unique<support::PtyPair>();
    pty->LinkAs(Entry(n));
  }
  // COMn -> a plain file.
  void AddFile(int n) { std::ofstream(Entry(n)) << "x"; }
  const std::string &Slave(int n) { return ptys_.at(n)->SlavePath(); }
  std::string Path() const { return dir_.string(); }

  // Fills the remaining candidates with dangling links and makes this the
  // start directory.
  void Activate(std::optional<platform::TSerialRoots> roots = std::nullopt) {
    for (int n = 1; n <= 50; ++n)
      if (!std::filesystem::exists(std::filesystem::symlink_status(Entry(n))))
        std::filesystem::create_symlink(dir_ / "no-such-device", Entry(n));
    platform::SetStartDirectory(dir_.string());
    platform::SetSerialRoots(
        roots.value_or(platform::TSerialRoots{(dir_ / "no-sys").string(), (dir_ / "no-dev").string()}));
  }

private:
  std::filesystem::path Entry(int n) const { return dir_ / ("COM" + std::to_string(n)); }
  support::TempDir folder_{"ports"};
  const std::filesystem::path &dir_ = folder_.Path();
  std::map<int, std::unique_ptr<support::PtyPair>> ptys_;
};

} // namespace testpty
