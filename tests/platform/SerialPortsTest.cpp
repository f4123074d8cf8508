// Finding the serial devices present in a fake sysfs and /dev, describing
// them, and binding COMn links to them.
#include "platform/PlatformErrors.h"
#include "platform/SerialPorts.h"
#include "tests/support/FakeSerialTree.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using platform::SerialKind;
using platform::TSerialPortInfo;
using support::FakeSerialTree;

platform::TSerialRoots Roots(const FakeSerialTree &t) { return {t.Sys().string(), t.Dev().string()}; }

dev_t Rdev(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_rdev : 0;
}

TEST(SerialPorts, FindsEveryKindPresentInOrderWithTheKernelsTexts) {
  FakeSerialTree t;
  t.AddUart("ttyS0", true);
  t.AddUart("ttyS1", false); // the 8250 driver's empty slot
  t.AddUart("ttyS2", true, /*node=*/false);
  t.AddBluetooth("rfcomm0");
  t.AddOther("tty0");
  t.AddOther("ttyprintk");
  t.AddUsb({.tty = "ttyUSB10",
            .busPort = "1-3",
            .maker = "Prolific Technology Inc.",
            .model = "USB-Serial Controller",
            .serial = std::nullopt, // many cheap adapters have none
            .byId = "usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"});
  t.AddUsb({.tty = "ttyUSB2",
            .busPort = "1-2",
            .maker = "FTDI",
            .model = "FT232R USB UART",
            .serial = "A50285BI",
            .byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"});
  t.AddUsb(
      {.tty = "ttyACM0", .busPort = "1-4", .maker = "Arduino (www.arduino.cc)", .model = "0043", .serial = "7593"});
  // Unplugged a moment ago: sysfs still lists it, its node is gone.
  t.AddUsb({.tty = "ttyUSB3", .busPort = "1-5", .maker = "FTDI", .model = "Gone", .serial = "X", .node = false});

  const std::vector<TSerialPortInfo> found = platform::FindSerialPorts(Roots(t));
  struct Want {
    std::string tty;
    SerialKind kind;
    std::string maker, model, serial, byId;
  } const want[] = {
      {"ttyUSB2", SerialKind::UsbAdapter, "FTDI", "FT232R USB UART", "A50285BI",
       "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
      {"ttyUSB10", SerialKind::UsbAdapter, "Prolific Technology Inc.", "USB-Serial Controller", "",
       "usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"},
      {"ttyACM0", SerialKind::UsbBoard, "Arduino (www.arduino.cc)", "0043", "7593", ""},
      {"ttyS0", SerialKind::Uart, "", "", "", ""},
      {"rfcomm0", SerialKind::Bluetooth, "", "", "", ""},
  };
  ASSERT_EQ(found.size(), std::size(want));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const TSerialPortInfo &f = found[i];
    const Want &w = want[i];
    SCOPED_TRACE(w.tty);
    EXPECT_EQ(f.TtyName, w.tty);
    EXPECT_EQ(f.Kind, w.kind);
    EXPECT_EQ(f.Maker, w.maker);
    EXPECT_EQ(f.Model, w.model);
    EXPECT_EQ(f.Serial, w.serial);
    EXPECT_EQ(f.DevicePath, (t.Dev() / w.tty).string());
    EXPECT_EQ(f.Rdev, Rdev(t.Pty(w.tty).SlavePath()));
    if (w.byId.empty()) {
      EXPECT_EQ(f.ById, "");
      EXPECT_EQ(f.LinkTarget(), f.DevicePath);
    } else {
      EXPECT_EQ(f.ById, (t.Dev() / "serial/by-id" / w.byId).string());
      EXPECT_EQ(f.LinkTarget(), f.ById);
    }
  }
}

// The by-id name is matched by the device it leads to, not by its text, and
// a dangling one (a udev link left over) is no match at all.
TEST(SerialPorts, ByIdNameIsTheOneThatLeadsToTheDevice) {
  FakeSerialTree t;
  t.AddUsb({.tty = "ttyUSB0", .busPort = "1-2", .maker = "A", .model = "B", .serial = "1", .byId = "usb-z-port0"});
  t.AddUsb({.tty = "ttyUSB1", .busPort = "1-3", .maker = "A", .model = "B", .serial = "2", .byId = "usb-a-port0"});
  fs::create_symlink("../../ttyUSB7", t.Dev() / "serial/by-id/usb-0-dangling");
  const auto found = platform::FindSerialPorts(Roots(t));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(fs::path(found[0].ById).filename(), "usb-z-port0");
  EXPECT_EQ(fs::path(found[1].ById).filename(), "usb-a-port0");
}

// Texts come from the device itself: shown as one bounded printable line.
TEST(SerialPorts, DeviceTextsAreCleanedAndBounded) {
  FakeSerialTree t;
  t.AddUsb({.tty = "ttyUSB0",
            .maker = std::string("  Evil\x1b[2J\tCorp  "),
            .model = std::string(400, 'M'),
            .serial = std::string("12\r34")});
  const auto found = platform::FindSerialPorts(Roots(t));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Maker, "Evil [2J Corp");
  EXPECT_EQ(found[0].Model, std::string(120, 'M'));
  EXPECT_EQ(found[0].Serial, "12 34");
}

TEST(SerialPorts, Descriptions) {
  auto port = [](SerialKind kind, std::string tty, std::string maker, std::string model, std::string serial) {
    TSerialPortInfo p;
    p.Kind = kind;
    p.TtyName = std::move(tty);
    p.Maker = std::move(maker);
    p.Model = std::move(model);
    p.Serial = std::move(serial);
    return p;
  };
  struct Case {
    TSerialPortInfo port;
    const char *text;
  } const cases[] = {
      {port(SerialKind::UsbAdapter, "ttyUSB0", "FTDI", "FT232R USB UART", "A50285BI"),
       "FT232R USB UART by FTDI, no. A50285BI (ttyUSB0)"},
      {port(SerialKind::UsbAdapter, "ttyUSB1", "Prolific", "USB-Serial Controller", ""),
       "USB-Serial Controller by Prolific (ttyUSB1)"},
      {port(SerialKind::UsbAdapter, "ttyUSB2", "", "", ""), "USB serial adapter (ttyUSB2)"},
      {port(SerialKind::UsbBoard, "ttyACM0", "Maker", "", ""), "USB serial board by Maker (ttyACM0)"},
      {port(SerialKind::Uart, "ttyS0", "", "", ""), "serial port (ttyS0)"},
      {port(SerialKind::Bluetooth, "rfcomm0", "", "", ""), "Bluetooth serial link (rfcomm0)"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(platform::DescribeSerialPort(c.port), c.text);
}

// What may become a COMn link and what is never touched.
TEST(SerialPorts, BindingReplacesOnlyWhatLeadsNowhere) {
  FakeSerialTree t;
  t.AddUsb({.tty = "ttyUSB0", .byId = "usb-x-port0"});
  t.AddUart("ttyS3", true);  // real: COM4 leads there without a link
  t.AddUart("ttyS4", false); // empty slot: COM5 leads nowhere
  const auto roots = Roots(t);
  support::TempDir start("start");
  const fs::path dir = start.Path();
  const std::string target = (t.Dev() / "serial/by-id/usb-x-port0").string();
  fs::create_symlink("/nonexistent/ttyUSB9", dir / "COM2");       // leads nowhere
  fs::create_symlink(t.Pty("ttyUSB0").SlavePath(), dir / "COM3"); // a present device
  std::ofstream(dir / "COM6") << "the user's own file";
  fs::create_directory(dir / "COM7");

  struct Case {
    int n;
    uint32_t result;
  } const cases[] = {
      {1, 0},                          // no entry, /dev/ttyS0 absent
      {2, 0},                          // a link that leads nowhere
      {3, platform::kErrAccessDenied}, // leads to a present device
      {4, platform::kErrAccessDenied}, // /dev/ttyS3 is a real port
      {5, 0},                          // /dev/ttyS4 is an empty slot
      {6, platform::kErrAccessDenied}, // not a link
      {7, platform::kErrAccessDenied},
      {0, platform::kErrInvalidParameter},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("COM" + std::to_string(c.n));
    const fs::path entry = dir / ("COM" + std::to_string(c.n));
    const bool linkBefore = fs::is_symlink(entry);
    const std::string before = linkBefore ? fs::read_symlink(entry).string() : "";
    EXPECT_EQ(platform::BindPortNumber(c.n, target, dir.string(), roots), c.result);
    if (c.result == 0) {
      ASSERT_TRUE(fs::is_symlink(entry));
      EXPECT_EQ(fs::read_symlink(entry), target);
      EXPECT_EQ(platform::PresentDeviceOf(platform::PortPath(c.n, dir.string(), roots), roots),
                Rdev(t.Pty("ttyUSB0").SlavePath()));
    } else if (linkBefore) {
      EXPECT_EQ(fs::read_symlink(entry), before);
    }
  }
  EXPECT_EQ(support::ReadFile(dir / "COM6"), "the user's own file");
  // Nothing made on the way is left beside the links.
  for (const auto &e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().rfind(".COM", 0), std::string::npos) << e.path();
}

// A start folder that cannot take the link gives its reason, not success.
TEST(SerialPorts, BindingWhereNoLinkCanBeMadeFails) {
  FakeSerialTree t;
  support::TempDir start("start");
  const fs::path gone = start.Path() / "removed";
  EXPECT_EQ(platform::BindPortNumber(1, "/dev/null", gone.string(), Roots(t)), platform::kErrFileNotFound);
  std::ofstream(start.Path() / "file") << "x";
  EXPECT_EQ(platform::BindPortNumber(1, "/dev/null", (start.Path() / "file").string(), Roots(t)),
            platform::kErrPathNotFound);
}

TEST(SerialPorts, FreeNumberPrefersNoEntryOverALinkThatLeadsNowhere) {
  FakeSerialTree t;
  t.AddUart("ttyS0", true);
  t.AddUsb({.tty = "ttyUSB0"});
  const auto roots = Roots(t);
  support::TempDir start("start");
  const fs::path dir = start.Path();
  // COM1 is the real ttyS0; COM2 the user's link to an adapter unplugged just
  // now; COM3 in use; COM4 free.
  fs::create_symlink("/nonexistent/by-id/usb-y", dir / "COM2");
  fs::create_symlink(t.Pty("ttyUSB0").SlavePath(), dir / "COM3");
  EXPECT_EQ(platform::FreePortNumber(dir.string(), 50, roots), 4);
  EXPECT_EQ(platform::FreePortNumber(dir.string(), 3, roots), 2);
  EXPECT_EQ(platform::FreePortNumber(dir.string(), 1, roots), 0);
}

} // namespace
