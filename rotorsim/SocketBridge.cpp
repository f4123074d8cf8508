#include "rotorsim/SocketBridge.h"

#include "rotorsim/PosixUtil.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace rotorsim {

namespace {

using posix::closeFd;
using posix::fail;

// Writes all of it; false when the other side is gone. Our bytes are few
// and the peer reads them, so a short wait for room is all it can cost.
bool writeAll(int fd, const char *data, size_t size, bool socket) {
  while (size > 0) {
    ssize_t n = socket ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0)
        return false;
    } else {
      return false;
    }
  }
  return true;
}

} // namespace

SocketBridge::SocketBridge(const std::string &socketPath, const std::string &devicePath) : path_(socketPath) {
  try {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof addr.sun_path)
      fail("socket path too long or empty: " + path_, ENAMETOOLONG);
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode))
        fail(path_ + " exists and is not a socket", EEXIST);
      ::unlink(path_.c_str());
    }
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0)
      fail("socket");
    if (::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
      fail("bind " + path_);
    if (::listen(listen_, 2) != 0)
      fail("listen " + path_);
    device_ = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device_ < 0)
      fail("open " + devicePath);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0)
      fail("eventfd");
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    if (listen_ >= 0)
      ::unlink(path_.c_str());
    closeFd(listen_);
    closeFd(device_);
    closeFd(wake_);
    throw;
  }
}

SocketBridge::~SocketBridge() {
  uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  if (thread_.joinable())
    thread_.join();
  ::unlink(path_.c_str());
  closeFd(listen_);
  closeFd(device_);
  closeFd(wake_);
}

void SocketBridge::run() {
  int client = -1;
  char buf[512];
  for (;;) {
    pollfd fds[4] = {{wake_, POLLIN, 0}, {listen_, POLLIN, 0}, {device_, POLLIN, 0}, {client, POLLIN, 0}};
    if (::poll(fds, client >= 0 ? 4 : 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (fds[0].revents)
      break;
    if (fds[1].revents & POLLIN) {
      // A client that connects again (the machine's chardev reconnecting)
      // takes the line over.
      int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c >= 0) {
        closeFd(client);
        client = c;
        connections_.fetch_add(1);
        continue;
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::read(device_, buf, sizeof buf);
      if (n > 0 && client >= 0 && !writeAll(client, buf, size_t(n), true))
        closeFd(client); // without a client the unit talks to an open line
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        break; // the unit is gone
    }
    if (client >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = ::read(client, buf, sizeof buf);
      if (n > 0)
        writeAll(device_, buf, size_t(n), false);
      else if (n == 0 || (errno != EAGAIN && errno != EINTR))
        closeFd(client);
    }
  }
  closeFd(client);
}

} // namespace rotorsim
