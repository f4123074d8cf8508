#include "platform/SerialPorts.h"

#include "platform/PlatformErrors.h"
#include "platform/SerialNodes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace platform {

namespace {

namespace fs = std::filesystem;

std::mutex rootsLock;
TSerialRoots roots_;

struct Family {
  const char *prefix;
  SerialKind kind;
};
// In the order the list shows them.
constexpr Family kFamilies[] = {
    {"ttyUSB", SerialKind::UsbAdapter},
    {"ttyACM", SerialKind::UsbBoard},
    {"ttyS", SerialKind::Uart},
    {"rfcomm", SerialKind::Bluetooth},
};

// The family and number of a tty name such as "ttyUSB0"; false for others.
bool ParseTtyName(const std::string &name, SerialKind &kind, int &number) {
  for (const Family &f : kFamilies) {
    const std::string prefix = f.prefix;
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
      continue;
    int n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9')
        return false;
      n = n * 10 + (name[i] - '0');
    }
    kind = f.kind;
    number = n;
    return true;
  }
  return false;
}

int FamilyRank(SerialKind kind) {
  for (std::size_t i = 0; i < std::size(kFamilies); ++i)
    if (kFamilies[i].kind == kind)
      return int(i);
  return int(std::size(kFamilies));
}

// A sysfs text the device itself supplied: one line, printable, bounded.
std::string ReadAttribute(const fs::path &file) {
  std::ifstream in(file);
  if (!in)
    return {};
  std::string raw(256, '\0');
  in.read(raw.data(), std::streamsize(raw.size()));
  raw.resize(std::size_t(in.gcount()));
  std::string text;
  for (char c : raw) {
    if (c == '\n' || c == '\0')
      break;
    const unsigned char u = static_cast<unsigned char>(c);
    text += (u < 0x20 || u == 0x7f) ? ' ' : c;
  }
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos)
    return {};
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  return text.size() > 120 ? text.substr(0, 120) : text;
}

bool CharDevice(const std::string &path, dev_t &rdev) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
    return false;
  rdev = st.st_rdev;
  return true;
}

bool Within(const fs::path &path, const fs::path &root) {
  auto r = root.begin();
  auto p = path.begin();
  for (; r != root.end(); ++r, ++p)
    if (p == path.end() || *p != *r)
      return false;
  return true;
}

// The USB device above a tty in sysfs (the folder with idVendor), with its
// maker, model and serial texts; stays inside the sysfs root.
void ReadUsbTexts(const fs::path &sys, const std::string &tty, TSerialPortInfo &out) {
  std::error_code ec;
  const fs::path root = fs::canonical(sys, ec);
  if (ec)
    return;
  fs::path dir = fs::canonical(sys / "class" / "tty" / tty / "device", ec);
  if (ec)
    return;
  for (int depth = 0; depth < 8 && Within(dir, root) && dir != root; ++depth, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec))
      continue;
    out.Maker = ReadAttribute(dir / "manufacturer");
    out.Model = ReadAttribute(dir / "product");
    out.Serial = ReadAttribute(dir / "serial");
    return;
  }
}

// The first /dev/serial/by-id name (in name order) that leads to rdev.
std::string ByIdName(const fs::path &dev, dev_t rdev) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dev / "serial" / "by-id", ec), end; !ec && it != end; it.increment(ec)) {
    dev_t r = 0;
    if (CharDevice(it->path().string(), r) && r == rdev)
      names.push_back(it->path().string());
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

} // namespace

void SetSerialRoots(const TSerialRoots &roots) {
  std::lock_guard<std::mutex> lock(rootsLock);
  roots_ = roots;
}

TSerialRoots SerialRoots() {
  std::lock_guard<std::mutex> lock(rootsLock);
  return roots_;
}

std::vector<TSerialPortInfo> FindSerialPorts(const TSerialRoots &roots) {
  struct Found {
    int rank;
    int number;
    TSerialPortInfo info;
  };
  std::vector<Found> found;
  const fs::path sys(roots.Sys);
  const fs::path dev(roots.Dev);
  std::error_code ec;
  for (fs::directory_iterator it(sys / "class" / "tty", ec), end; !ec && it != end; it.increment(ec)) {
    TSerialPortInfo info;
    info.TtyName = it->path().filename().string();
    int number = 0;
    if (!ParseTtyName(info.TtyName, info.Kind, number))
      continue;
    info.DevicePath = (dev / info.TtyName).string();
    // A tty the kernel knows but whose node is gone is no device present.
    if (!CharDevice(info.DevicePath, info.Rdev))
      continue;
    if (info.Kind == SerialKind::Uart && IsEmptyUartSlot(info.TtyName, roots.Sys))
      continue;
    if (info.Kind == SerialKind::UsbAdapter || info.Kind == SerialKind::UsbBoard) {
      ReadUsbTexts(sys, info.TtyName, info);
      info.ById = ByIdName(dev, info.Rdev);
    }
    found.push_back({FamilyRank(info.Kind), number, std::move(info)});
  }
  std::sort(found.begin(), found.end(),
            [](const Found &a, const Found &b) { return a.rank != b.rank ? a.rank < b.rank : a.number < b.number; });
  std::vector<TSerialPortInfo> out;
  for (Found &f : found)
    out.push_back(std::move(f.info));
  return out;
}

std::string DescribeSerialPort(const TSerialPortInfo &port) {
  std::string what;
  switch (port.Kind) {
  case SerialKind::UsbAdapter:
    what = "USB serial adapter";
    break;
  case SerialKind::UsbBoard:
    what = "USB serial board";
    break;
  case SerialKind::Uart:
    what = "serial port";
    break;
  case SerialKind::Bluetooth:
    what = "Bluetooth serial link";
    break;
  }
  if (!port.Model.empty())
    what = port.Model;
  if (!port.Maker.empty())
    what += " by " + port.Maker;
  // Two adapters of one kind differ only in their serial numbers.
  if (!port.Serial.empty())
    what += ", no. " + port.Serial;
  return what + " (" + port.TtyName + ")";
}

std::string PortPath(int n, const std::string &dir, const TSerialRoots &roots) {
  if (n < 1 || n > 999)
    return {};
  const fs::path entry = fs::path(dir) / ("COM" + std::to_string(n));
  std::error_code ec;
  if (fs::exists(fs::symlink_status(entry, ec)))
    return entry.string();
  return (fs::path(roots.Dev) / ("ttyS" + std::to_string(n - 1))).string();
}

dev_t PresentDeviceOf(const std::string &path, const TSerialRoots &roots) {
  dev_t rdev = 0;
  if (!CharDevice(path, rdev))
    return 0;
  const std::string name = TtyNameOfPath(path, roots.Sys);
  SerialKind kind{};
  int number = 0;
  if (ParseTtyName(name, kind, number) && kind == SerialKind::Uart && IsEmptyUartSlot(name, roots.Sys))
    return 0;
  return rdev;
}

std::string DescribePortNumber(int n, const std::string &dir, const std::vector<TSerialPortInfo> &found,
                               const TSerialRoots &roots) {
  const std::string path = PortPath(n, dir, roots);
  const dev_t rdev = PresentDeviceOf(path, roots);
  if (rdev == 0)
    return {};
  for (const TSerialPortInfo &f : found)
    if (f.Rdev == rdev)
      return DescribeSerialPort(f);
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? path : real.string();
}

uint32_t BindPortNumber(int n, const std::string &target, const std::string &dir, const TSerialRoots &roots) {
  if (n < 1 || n > 999 || target.empty())
    return kErrInvalidParameter;
  const fs::path entry = fs::path(dir) / ("COM" + std::to_string(n));
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(entry, ec);
  if (fs::exists(st) && !fs::is_symlink(st))
    return kErrAccessDenied; // the user's own file or folder
  if (PresentDeviceOf(PortPath(n, dir, roots), roots) != 0)
    return kErrAccessDenied;
  // Made beside it and renamed over it: the entry is never missing or half
  // made, whatever stops us.
  const fs::path temp = fs::path(dir) / (".COM" + std::to_string(n) + "." + std::to_string(getpid()) + ".new");
  fs::remove(temp, ec);
  if (symlink(target.c_str(), temp.c_str()) != 0)
    return TranslateErrno(errno);
  if (rename(temp.c_str(), entry.c_str()) != 0) {
    const int err = errno;
    fs::remove(temp, ec);
    return TranslateErrno(err);
  }
  return 0;
}

int FreePortNumber(const std::string &dir, int last, const TSerialRoots &roots) {
  // A number with no entry first: a link that leads nowhere may be the
  // user's own for an adapter that is unplugged just now.
  for (bool linksToo : {false, true}) {
    for (int n = 1; n <= last; ++n) {
      const fs::path entry = fs::path(dir) / ("COM" + std::to_string(n));
      std::error_code ec;
      const fs::file_status st = fs::symlink_status(entry, ec);
      if (fs::exists(st) && (!fs::is_symlink(st) || !linksToo))
        continue;
      if (PresentDeviceOf(PortPath(n, dir, roots), roots) == 0)
        return n;
    }
  }
  return 0;
}

} // namespace platform
