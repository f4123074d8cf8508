#pragma once
// Network control: a TCP server on the user-interface thread that gives
// each client a session of the rotator network protocol. Replies leave in
// one write each; a client that floods, stalls or vanishes costs only its
// own bounded buffers.
#include "netctl/Session.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <memory>

class TForm1;
class WindowRotator;

class NetServer : public QObject {
public:
  // Clients beyond this many are turned away at once.
  static constexpr int MaxClients = 64;

  explicit NetServer(netctl::Backend &backend, QObject *parent = nullptr);
  ~NetServer() override;

  // False when the address cannot be had; ErrorText() says why.
  bool Listen(const QHostAddress &address, quint16 port);
  QString ErrorText() const { return server_.errorString(); }
  quint16 Port() const { return server_.serverPort(); }
  int Clients() const { return clients_; }

private:
  class Client;
  void Accept();

  netctl::Backend &backend_;
  QTcpServer server_;
  int clients_ = 0;
};

struct ProgramOptions;

// The window's network control while the program runs.
class NetworkControl {
public:
  explicit NetworkControl(TForm1 &form);
  ~NetworkControl();
  bool Listen(const QHostAddress &address, quint16 port) { return server_.Listen(address, port); }
  NetServer &Server() { return server_; }
  WindowRotator &Rotator() { return *rotator_; }

private:
  std::unique_ptr<WindowRotator> rotator_;
  NetServer server_;
};

// Starts network control when the options ask for it. An address that
// cannot be had is shown in a message box; the window runs on without it.
std::unique_ptr<NetworkControl> StartNetworkControl(TForm1 &form, const ProgramOptions &options);
