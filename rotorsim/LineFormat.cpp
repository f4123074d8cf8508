// The format the user set on the line, read off our own end of the device.
// Arbitrary rates need the kernel's second termios form, whose header cannot
// share a translation unit with <termios.h>.
#include "rotorsim/RotorSim.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace rotorsim {

std::optional<LineFormat> readLineFormat(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0)
    return std::nullopt;
  LineFormat f;
  f.baud = int(t.c_ospeed);
  int data = 8;
  switch (t.c_cflag & CSIZE) {
  case CS5:
    data = 5;
    break;
  case CS6:
    data = 6;
    break;
  case CS7:
    data = 7;
    break;
  default:
    break;
  }
  f.bitsPerChar = 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
  if (f.baud <= 0)
    return std::nullopt;
  return f;
}

} // namespace rotorsim
