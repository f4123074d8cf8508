#include "platform/PlatformErrors.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace platform {

uint32_t TranslateErrno(int err) {
  // Some calls hand back -errno; the number is the same.
  if (err < 0)
    err = err == INT32_MIN ? INT32_MAX : -err;
  switch (err) {
  case 0:
    return 0;
  case ENOENT:
  case ENODEV:
  case ENXIO:
    return kErrFileNotFound;
  case ENOTDIR:
    return kErrPathNotFound;
  case EBUSY:
  case EWOULDBLOCK: // flock on a device another process holds
    return kErrAccessDenied;
  case EBADF:
    return kErrInvalidHandle;
  case ENOMEM:
    return kErrNotEnoughMemory;
  case EACCES:
  case EPERM:
    return kErrPermission;
  case EINVAL:
    return kErrInvalidParameter;
  default:
    return kErrOtherBase + static_cast<uint32_t>(err);
  }
}

std::string PlatformErrorText(uint32_t number) {
  // Fixed texts end in CR LF as the system's message texts do; callers that
  // show them in one line clean that up.
  switch (number) {
  case kErrFileNotFound:
    return "The system cannot find the device or file specified.\r\n";
  case kErrPathNotFound:
    return "The system cannot find the path specified.\r\n";
  case kErrAccessDenied:
    return "Access is denied: the device is in use by another program.\r\n";
  case kErrInvalidHandle:
    return "The handle is invalid.\r\n";
  case kErrNotEnoughMemory:
    return "Not enough memory is available to process this command.\r\n";
  case kErrPermission:
    return "Permission denied: this user may not open the device. "
           "Add the user to the dialout group and log in again.\r\n";
  case kErrNoUart:
    return "The device is not ready: no serial port hardware answers at this address.\r\n";
  case kErrInvalidParameter:
    return "The parameter is incorrect.\r\n";
  default:
    break;
  }
  if (number <= kErrOtherBase || number - kErrOtherBase > uint32_t(INT32_MAX))
    return {};
  // The untranslated description: thread-safe, and null for a number that is
  // no errno, so such a number has no text.
  const char *text = strerrordesc_np(static_cast<int>(number - kErrOtherBase));
  return text ? std::string(text) : std::string();
}

} // namespace platform
