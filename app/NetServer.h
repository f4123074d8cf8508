#pragma once
// The window's network control: the controller's network backend served on
// an address the options name.
#include "controller/NetServer.h"
#include "controller/RotorBackend.h"

#include <QHostAddress>
#include <memory>

class TForm1;
struct ProgramOptions;

// The window's network control while the program runs.
class NetworkControl {
public:
  explicit NetworkControl(TForm1 &form);
  ~NetworkControl();
  bool Listen(const QHostAddress &address, quint16 port) { return server_.Listen(address, port); }
  NetServer &Server() { return server_; }
  RotorBackend &Rotator() { return *rotator_; }

private:
  std::unique_ptr<RotorBackend> rotator_;
  NetServer server_;
};

// Starts network control when the options ask for it. An address that
// cannot be had is shown in a message box; the window runs on without it.
std::unique_ptr<NetworkControl> StartNetworkControl(TForm1 &form, const ProgramOptions &options);
