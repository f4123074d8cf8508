#pragma once
// The serial devices present on this machine, found through sysfs and /dev
// (both given as roots, so tests can build a fake tree): USB adapters and
// boards with their stable /dev/serial/by-id name and the maker, model and
// serial number texts the kernel gives, real UARTs, Bluetooth serial links.
// And the COMn entries of the start folder that lead to them.
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

struct TSerialRoots {
  std::string Sys = "/sys";
  std::string Dev = "/dev";
};

// The roots the program looks under; tests point them at a fake tree.
void SetSerialRoots(const TSerialRoots &roots);
TSerialRoots SerialRoots();

enum class SerialKind { UsbAdapter, UsbBoard, Uart, Bluetooth };

struct TSerialPortInfo {
  std::string TtyName; // "ttyUSB0"
  SerialKind Kind = SerialKind::Uart;
  std::string DevicePath; // <dev>/ttyUSB0
  std::string ById;       // <dev>/serial/by-id/..., empty when udev gave none
  std::string Maker;      // the USB device's manufacturer text, may be empty
  std::string Model;      // its product text, may be empty
  std::string Serial;     // its serial number, may be empty
  dev_t Rdev = 0;         // the node's device number

  // What a COMn link should name: the by-id name survives a replug that
  // brings another ttyUSB number.
  const std::string &LinkTarget() const { return ById.empty() ? DevicePath : ById; }
};

// Every serial device present, ordered by kind (USB adapters, USB boards,
// UARTs, Bluetooth) and then by number.
std::vector<TSerialPortInfo> FindSerialPorts(const TSerialRoots &roots = SerialRoots());

// What a device is, for a person: "FT232R USB UART by FTDI (ttyUSB0)".
std::string DescribeSerialPort(const TSerialPortInfo &port);

// The path COMn of `dir` stands for: the entry itself when there is one,
// else <dev>/ttyS<n-1>. Empty for n outside 1..99.
std::string PortPath(int n, const std::string &dir, const TSerialRoots &roots = SerialRoots());

// The device number of the character device a path leads to (following
// links), or 0 when it leads to none or only to an empty UART slot.
dev_t PresentDeviceOf(const std::string &path, const TSerialRoots &roots = SerialRoots());

// What COMn of `dir` leads to, for a person: the found device's
// description, or the real path of another present device (a
// pseudo-terminal); empty when it leads to no device present.
std::string DescribePortNumber(int n, const std::string &dir, const std::vector<TSerialPortInfo> &found,
                               const TSerialRoots &roots = SerialRoots());

// Binds COMn in `dir` to `target` by making the link COMn. An entry that
// leads to a present device is never replaced, nor anything that is not a
// link; a link that leads nowhere is. 0 or a platform error number
// (kErrAccessDenied when COMn is taken).
uint32_t BindPortNumber(int n, const std::string &target, const std::string &dir,
                        const TSerialRoots &roots = SerialRoots());

// The lowest number in 1..last whose COMn leads to no present device and
// may be bound, one without any entry before one whose link leads nowhere;
// 0 when there is none.
int FreePortNumber(const std::string &dir, int last, const TSerialRoots &roots = SerialRoots());

} // namespace platform
