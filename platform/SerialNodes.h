#pragma once
// What the kernel tells about a serial node through sysfs: which tty a
// device path stands for, and whether a legacy UART slot has nothing behind
// it. USB adapters, CDC boards and Bluetooth links have no UART of their
// own and must never be mistaken for an empty slot.
#include <string>
#include <sys/types.h>

namespace platform {

// The tty name ("ttyUSB0") of a character device number, from
// <sysRoot>/dev/char/MAJOR:MINOR; empty when sysfs does not know it.
std::string TtyNameOfDevice(dev_t rdev, const std::string &sysRoot = "/sys");

// The tty name of a device path, following links (COMn entries,
// /dev/serial/by-id): by the node's device number where sysfs knows it,
// else the last part of the resolved path. Empty when the path is missing.
std::string TtyNameOfPath(const std::string &path, const std::string &sysRoot = "/sys");

// True only for a port slot that the 8250 driver keeps open for hardware
// that was never found: the serial core says its UART type is 0 and the
// slot hangs on the driver's legacy placeholder device. Anything sysfs
// cannot vouch for counts as present.
bool IsEmptyUartSlot(const std::string &ttyName, const std::string &sysRoot = "/sys");

} // namespace platform
