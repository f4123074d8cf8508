#pragma once
// Platform error numbers. The serial layer's codes were designed around the
// numbers of the system it first ran on, and the port component tells a
// missing device from a busy one by them, so every errno our device layer
// meets is translated into one of these before it travels upward (negated,
// as a result code).
#include <cstdint>
#include <string>

namespace platform {

constexpr uint32_t kErrFileNotFound = 2;      // ENOENT, ENODEV, ENXIO: missing
constexpr uint32_t kErrPathNotFound = 3;      // ENOTDIR: missing
constexpr uint32_t kErrAccessDenied = 5;      // EBUSY, flock EWOULDBLOCK: busy
constexpr uint32_t kErrInvalidHandle = 6;     // EBADF: a closed device
constexpr uint32_t kErrNotEnoughMemory = 8;   // ENOMEM
constexpr uint32_t kErrPermission = 13;       // EACCES, EPERM: not "busy"; the user lacks rights
constexpr uint32_t kErrNoUart = 21;           // an empty legacy UART slot: "device not ready"
constexpr uint32_t kErrInvalidParameter = 87; // EINVAL
// Any other errno e becomes kErrOtherBase + e; its text is strerror's. The
// base lies above every code of the serial layer, so a negated number never
// reads as one of its own errors (1000 + EIO would be -1005, "ComPort
// component not assigned"), and below 32768, so it still fits 16 bits.
constexpr uint32_t kErrOtherBase = 20000;

// errno -> platform number (0 stays 0).
uint32_t TranslateErrno(int err);

// The platform's own message text for a platform number, as the system's
// message lookup falls back on: English, may end in a line break; empty when
// the number is not one this layer produces.
std::string PlatformErrorText(uint32_t number);

} // namespace platform
