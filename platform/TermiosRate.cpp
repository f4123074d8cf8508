// Arbitrary line rates need the kernel's second termios form, whose header
// cannot share a translation unit with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace platform::detail {

int SetLineRate(int fd, uint32_t rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0)
    return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t) != 0)
    return errno;
  return 0;
}

int GetLineRate(int fd, uint32_t &rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0)
    return errno;
  rate = t.c_ospeed;
  return 0;
}

} // namespace platform::detail
