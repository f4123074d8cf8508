#pragma once
// Network control: a TCP server on the controller's thread that gives each
// client a session of the rotator network protocol. Replies leave in one
// write each; a client that floods, stalls or vanishes costs only its own
// bounded buffers.
#include "netctl/Session.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

class NetServer : public QObject {
  Q_OBJECT
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

signals:
  // "address:port" of a client that came or went.
  void ClientConnected(const QString &peer);
  void ClientGone(const QString &peer);

private:
  class Client;
  void Accept();

  netctl::Backend &backend_;
  QTcpServer server_;
  int clients_ = 0;
};
