#include "platform/SerialNodes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

namespace platform {

namespace {

namespace fs = std::filesystem;

// The driver the 8250 core binds its placeholder ports to.
constexpr const char *kLegacyUartDriver = "serial8250";

std::string LinkTarget(const fs::path &link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

bool SafeName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

std::string TtyNameOfDevice(dev_t rdev, const std::string &sysRoot) {
  const std::string node = std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
  return LinkTarget(fs::path(sysRoot) / "dev" / "char" / node);
}

std::string TtyNameOfPath(const std::string &path, const std::string &sysRoot) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0)
    return {};
  if (S_ISCHR(st.st_mode)) {
    std::string name = TtyNameOfDevice(st.st_rdev, sysRoot);
    if (!name.empty())
      return name;
  }
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : real.filename().string();
}

bool IsEmptyUartSlot(const std::string &ttyName, const std::string &sysRoot) {
  if (!SafeName(ttyName))
    return false;
  const fs::path tty = fs::path(sysRoot) / "class" / "tty" / ttyName;
  // Only ports of the serial core carry a UART type; USB serial, CDC-ACM,
  // RFCOMM and pseudo-terminals have none.
  std::ifstream typeFile(tty / "type");
  int type = -1;
  if (!(typeFile >> type) || type != 0)
    return false;
  return LinkTarget(tty / "device" / "driver") == kLegacyUartDriver;
}

} // namespace platform
