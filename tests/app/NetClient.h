#pragma once
// A scripted network client on the loopback address for the window's
// network control. Non-blocking, so the event loop (which runs the server
// on this same thread) keeps turning while the client waits.
#include "WindowSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>
#include <string>

class NetClient {
public:
  explicit NetClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
      throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS)
      throw std::runtime_error("connect");
    if (!RunEventsUntil([this] { return Ready(POLLOUT); }))
      throw std::runtime_error("no connection");
  }
  ~NetClient() { Close(); }
  NetClient(const NetClient &) = delete;
  NetClient &operator=(const NetClient &) = delete;

  void Close() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

  // Sends everything, letting the event loop run while the kernel is full.
  bool Send(const std::string &bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n > 0) {
        off += std::size_t(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN)
        return false;
      if (!RunEventsUntil([this] { return Ready(POLLOUT); }, 20s))
        return false;
    }
    return true;
  }

  // What the kernel takes now, without waiting.
  std::size_t TrySend(const std::string &bytes) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return n > 0 ? std::size_t(n) : 0;
  }

  // One read of whatever has arrived ("" when nothing has).
  std::string ReadOnce() {
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n == 0)
      eof_ = true;
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
  }

  // Waits for the next read that brings bytes and returns what that one
  // read brought, as a client that reads once per reply does.
  std::string NextRead(std::chrono::milliseconds limit = support::kDeadline) {
    std::string got;
    RunEventsUntil(
        [&] {
          if (Ready(POLLIN))
            got = ReadOnce();
          return !got.empty() || eof_;
        },
        limit);
    return got;
  }

  std::string Ask(const std::string &line) {
    Send(line);
    return NextRead();
  }

  // True once the server closed the connection.
  bool ClosedByServer() {
    RunEventsUntil([&] {
      if (Ready(POLLIN))
        ReadOnce();
      return eof_;
    });
    return eof_;
  }

  bool Ready(short events) const {
    pollfd p{fd_, events, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (events | POLLHUP | POLLERR));
  }

private:
  int fd_ = -1;
  bool eof_ = false;
};
