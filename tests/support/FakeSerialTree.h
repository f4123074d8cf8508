#pragma once
// A fake sysfs and /dev under a scratch folder, laid out as the kernel and
// udev lay them out for USB adapters, USB boards, UARTs (real and empty
// slots) and Bluetooth links. A device "present" has its /dev node as a link
// to a pseudo-terminal of its own, so it has a real device number and opens
// like a serial device.
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/SerialPorts.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"

namespace support {

class FakeSerialTree {
public:
  struct Usb {
    std::string tty{};                  // "ttyUSB0" or "ttyACM0"
    std::string busPort = "1-2";        // the USB device's sysfs name
    std::optional<std::string> maker{}; // manufacturer; nullopt: no file
    std::optional<std::string> model{}; // product
    std::optional<std::string> serial{};
    std::string byId{};       // /dev/serial/by-id name, empty: none
    bool node = true;         // the /dev node is there
    std::string nodeTarget{}; // the node leads there (a far end's device); empty: a pty of its own
  };

  FakeSerialTree() {
    std::filesystem::create_directories(Sys() / "class" / "tty");
    std::filesystem::create_directories(Dev() / "serial" / "by-id");
  }

  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }
  platform::TSerialRoots Roots() const { return {Sys().string(), Dev().string()}; }

  void AddUsb(const Usb &u) {
    namespace fs = std::filesystem;
    const fs::path device = Sys() / "devices/pci0000:00/0000:00:14.0/usb1" / u.busPort;
    Write(device / "idVendor", "0403\n");
    Write(device / "idProduct", "6001\n");
    if (u.maker)
      Write(device / "manufacturer", *u.maker + "\n");
    if (u.model)
      Write(device / "product", *u.model + "\n");
    if (u.serial)
      Write(device / "serial", *u.serial + "\n");
    const fs::path iface = device / (u.busPort + ":1.0");
    // USB serial hangs its port below the interface; CDC-ACM the tty itself.
    const bool acm = u.tty.rfind("ttyACM", 0) == 0;
    const fs::path port = acm ? iface : iface / u.tty;
    const fs::path ttyDir = port / "tty" / u.tty;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(fs::relative(port, ttyDir), ttyDir / "device");
    ClassLink(u.tty, ttyDir);
    if (u.node)
      Node(u.tty, ttyDir, u.nodeTarget);
    if (!u.byId.empty())
      fs::create_symlink("../../" + u.tty, Dev() / "serial" / "by-id" / u.byId);
  }

  // A 16550-type UART on a platform device, or the 8250 driver's empty slot.
  void AddUart(const std::string &tty, bool real, bool node = true) {
    namespace fs = std::filesystem;
    const fs::path parent = real ? Sys() / "devices/pnp0/00:04" : Sys() / "devices/platform/serial8250";
    const fs::path ttyDir = parent / "tty" / tty;
    fs::create_directories(ttyDir);
    Write(ttyDir / "type", real ? "4\n" : "0\n");
    fs::create_directory_symlink(fs::relative(parent, ttyDir), ttyDir / "device");
    const fs::path drivers = Sys() / "bus/platform/drivers" / (real ? "serial" : "serial8250");
    fs::create_directories(drivers);
    if (!fs::exists(fs::symlink_status(parent / "driver")))
      fs::create_directory_symlink(fs::relative(drivers, parent), parent / "driver");
    ClassLink(tty, ttyDir);
    if (node)
      Node(tty, ttyDir);
  }

  void AddBluetooth(const std::string &tty) {
    namespace fs = std::filesystem;
    const fs::path ttyDir = Sys() / "devices/virtual/tty" / tty;
    fs::create_directories(ttyDir);
    ClassLink(tty, ttyDir);
    Node(tty, ttyDir);
  }

  // A tty that is no serial port (a console, a virtual terminal).
  void AddOther(const std::string &tty) { AddBluetooth(tty); }

  // The pseudo-terminal behind a node.
  PtyPair &Pty(const std::string &tty) { return *ptys_.at(tty); }

private:
  static void Write(const std::filesystem::path &file, const std::string &text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  void ClassLink(const std::string &tty, const std::filesystem::path &ttyDir) {
    const std::filesystem::path link = Sys() / "class" / "tty" / tty;
    std::filesystem::create_directory_symlink(std::filesystem::relative(ttyDir, link.parent_path()), link);
  }
  // The /dev node, and sysfs's entry for its device number as the kernel
  // makes it (/sys/dev/char/MAJOR:MINOR leads to the tty's folder).
  void Node(const std::string &tty, const std::filesystem::path &ttyDir, const std::string &target = {}) {
    std::string device = target;
    if (device.empty()) {
      auto &pty = ptys_[tty] = std::make_unique<PtyPair>();
      pty->LinkAs(Dev() / tty);
      device = pty->SlavePath();
    } else {
      std::filesystem::create_symlink(device, Dev() / tty);
    }
    struct stat st {};
    if (stat(device.c_str(), &st) != 0)
      return;
    const std::filesystem::path chars = Sys() / "dev" / "char";
    std::filesystem::create_directories(chars);
    const std::string number = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::filesystem::create_directory_symlink(std::filesystem::relative(ttyDir, chars), chars / number);
  }

  TempDir folder_{"serialtree"};
  const std::filesystem::path &root_ = folder_.Path();
  std::map<std::string, std::unique_ptr<PtyPair>> ptys_;
};

} // namespace support
