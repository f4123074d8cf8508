#pragma once
// The unit's line on a unix socket: a virtual machine's emulated serial
// port (a UART or a USB adapter) connects to it as a client, and every byte
// passes between that client and the unit's pseudo-terminal unchanged, at
// the pace the unit sends it.
#include <atomic>
#include <string>
#include <thread>

namespace rotorsim {

class SocketBridge {
public:
  // Listens on socketPath (an old socket there is replaced; anything else
  // there is an error) and opens the unit's device. Throws std::system_error.
  SocketBridge(const std::string &socketPath, const std::string &devicePath);
  // Stops the thread, closes everything and removes the socket.
  ~SocketBridge();
  SocketBridge(const SocketBridge &) = delete;
  SocketBridge &operator=(const SocketBridge &) = delete;

  const std::string &socketPath() const { return path_; }
  // Clients accepted so far (a client that reconnects counts again).
  int connections() const { return connections_.load(); }

private:
  void run();

  std::string path_;
  int listen_ = -1;
  int device_ = -1;
  int wake_ = -1;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

} // namespace rotorsim
