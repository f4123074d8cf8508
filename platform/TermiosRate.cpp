// Arbitrary line rates need the kernel's second termios form, whose header
// cannot share a translation unit with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace platform::detail {

int SetLineState(int fd, uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag, const uint8_t *cc,
                 size_t ccCount, uint32_t rate) {
  struct termios2 now {};
  if (ioctl(fd, TCGETS2, &now) != 0)
    return errno;
  struct termios2 t = now;
  t.c_iflag = iflag;
  t.c_oflag = oflag;
  t.c_lflag = lflag;
  t.c_cflag = (cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
  for (size_t i = 0; i < ccCount && i < NCCS; ++i)
    t.c_cc[i] = cc[i];
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  // One call, so the line never runs at a passing rate; none when nothing
  // changes, as a USB adapter turns every call into several USB requests.
  if (std::memcmp(&t, &now, sizeof t) == 0)
    return 0;
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
