// Telling an empty legacy UART slot from a device that works, on sysfs trees
// laid out as the kernel lays them out for each kind of serial node.
#include "platform/SerialNodes.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace platform;

class FakeSysfs : public ::testing::Test {
protected:
  support::TempDir root_{"sysfs"};

  std::string Root() const { return root_.Path().string(); }

  // class/tty/<name> with an optional UART type and a device bound to driver.
  void AddTty(const std::string &name, const char *type, const std::string &deviceDir, const std::string &driver) {
    fs::path devices = root_ / "devices" / deviceDir;
    fs::create_directories(devices / "tty" / name);
    if (!driver.empty() && !fs::is_symlink(devices / "driver")) {
      fs::create_directories(root_ / "bus" / "drivers" / driver);
      fs::create_directory_symlink(root_ / "bus" / "drivers" / driver, devices / "driver");
    }
    if (type)
      std::ofstream(devices / "tty" / name / "type") << type << "\n";
    fs::create_directories(root_ / "class" / "tty");
    fs::create_directory_symlink(devices / "tty" / name, root_ / "class" / "tty" / name);
    fs::create_directory_symlink(devices, devices / "tty" / name / "device");
  }
};

TEST_F(FakeSysfs, OnlyAnEmptySlotOfTheLegacyDriverIsRefused) {
  AddTty("ttyS3", "0", "platform/serial8250", "serial8250");
  AddTty("ttyS0", "4", "pnp0/00:05", "serial");              // a 16550A found by ACPI
  AddTty("ttyS1", "4", "platform/serial8250", "serial8250"); // a probed legacy port with a chip
  AddTty("ttyS5", "0", "pci0000:00/0000:00:1f.0", "serial"); // type 0 but not a placeholder
  AddTty("ttyUSB0", nullptr, "pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0", "ftdi_sio");
  AddTty("ttyACM0", nullptr, "pci0000:00/usb1/1-2/1-2:1.0", "cdc_acm");
  AddTty("rfcomm0", nullptr, "virtual/tty/rfcomm0", "");
  AddTty("ttyS7", "", "platform/serial8250", "serial8250"); // unreadable type

  struct Case {
    const char *name;
    bool empty;
  } cases[] = {
      {"ttyS3", true},    {"ttyS0", false},   {"ttyS1", false},        {"ttyS5", false}, {"ttyUSB0", false},
      {"ttyACM0", false}, {"rfcomm0", false}, {"ttyS7", false},        {"ttyS9", false}, // not in sysfs at all
      {"", false},        {"..", false},      {"../tty/ttyS3", false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.empty, IsEmptyUartSlot(c.name, Root())) << c.name;
}

TEST_F(FakeSysfs, DeviceNumberAndLinksLeadToTheTtyName) {
  // /dev/null is a character device every machine has; sysfs here says it is ttyUSB0.
  struct stat st {};
  ASSERT_EQ(0, stat("/dev/null", &st));
  fs::create_directories(root_ / "dev" / "char");
  fs::create_directories(root_ / "devices" / "usb" / "tty" / "ttyUSB0");
  const std::string node = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  fs::create_directory_symlink(root_ / "devices" / "usb" / "tty" / "ttyUSB0", root_ / "dev" / "char" / node);
  EXPECT_EQ("ttyUSB0", TtyNameOfDevice(st.st_rdev, Root()));

  // A COM entry that links through a by-id style link reaches the same node.
  fs::create_directories(root_ / "by-id");
  fs::create_symlink("/dev/null", root_ / "by-id" / "usb-Maker_Adapter-if00-port0");
  fs::create_symlink(root_ / "by-id" / "usb-Maker_Adapter-if00-port0", root_ / "COM1");
  EXPECT_EQ("ttyUSB0", TtyNameOfPath((root_ / "COM1").string(), Root()));

  // Without sysfs the resolved node's own name stands.
  EXPECT_EQ("null", TtyNameOfPath((root_ / "COM1").string(), Root() + "/absent"));
  EXPECT_EQ("", TtyNameOfPath((root_ / "missing").string(), Root()));
  EXPECT_EQ("", TtyNameOfDevice(makedev(4095, 77), Root()));
}

} // namespace
