#include "controller/NetServer.h"

#include <QPointer>
#include <QTcpSocket>

namespace {
// Read in small pieces so that the replies one piece can ask for stay
// small too; stop reading while this much is still unsent.
constexpr qint64 ReadPiece = 512;
constexpr qint64 WriteBacklog = 64 * 1024;
constexpr qint64 SocketReadBuffer = 64 * 1024;

QString Peer(const QTcpSocket *socket) {
  const QHostAddress address = socket->peerAddress();
  const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                           ? QStringLiteral("[%1]").arg(address.toString())
                           : address.toString();
  return host + QChar(':') + QString::number(socket->peerPort());
}
} // namespace

class NetServer::Client : public QObject {
public:
  Client(NetServer &server, QTcpSocket *socket)
      : QObject(&server), server_(server), socket_(socket),
        session_(server.backend_,
                 {[this](const std::string &reply) { Send(reply); }, [this] { Quit(); }, [this] { Pump(); }}) {
    socket_->setParent(this);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Qt stops reading from the kernel when this fills, so a client that
    // sends faster than we answer is held back by TCP.
    socket_->setReadBufferSize(SocketReadBuffer);
    connect(socket_, &QTcpSocket::readyRead, this, [this] { Pump(); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] { Pump(); });
    connect(socket_, &QTcpSocket::disconnected, this, [this] { Gone(); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
      if (socket_->state() != QAbstractSocket::ConnectedState)
        Gone();
    });
    ++server_.clients_;
    peer_ = Peer(socket_);
    emit server_.ClientConnected(peer_);
  }
  ~Client() override { --server_.clients_; }

  void Pump() {
    if (gone_ || pumping_)
      return;
    pumping_ = true;
    while (!gone_ && !session_.Busy() && !session_.Closed() && socket_->bytesToWrite() < WriteBacklog) {
      if (pending_.empty()) {
        char buf[ReadPiece];
        const qint64 n = socket_->read(buf, sizeof buf);
        if (n <= 0)
          break;
        pending_.assign(buf, std::size_t(n));
      }
      const std::size_t used = session_.Receive(pending_);
      pending_.erase(0, used);
    }
    pumping_ = false;
  }

private:
  void Send(const std::string &reply) {
    if (gone_)
      return;
    socket_->write(reply.data(), qint64(reply.size()));
    socket_->flush(); // one reply, one segment: some clients read once per command
  }
  void Quit() {
    pending_.clear();
    socket_->disconnectFromHost();
  }
  void Gone() {
    if (gone_)
      return;
    gone_ = true;
    emit server_.ClientGone(peer_);
    deleteLater();
  }

  NetServer &server_;
  QTcpSocket *socket_;
  netctl::Session session_;
  std::string pending_;
  QString peer_;
  bool pumping_ = false;
  bool gone_ = false;
};

NetServer::NetServer(netctl::Backend &backend, QObject *parent) : QObject(parent), backend_(backend) {
  connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
}

NetServer::~NetServer() {
  server_.close();
  // Clients go first: their sessions refer to the backend.
  for (Client *c : findChildren<Client *>(Qt::FindDirectChildrenOnly))
    delete c;
}

bool NetServer::Listen(const QHostAddress &address, quint16 port) { return server_.listen(address, port); }

void NetServer::Accept() {
  while (QTcpSocket *socket = server_.nextPendingConnection()) {
    if (clients_ >= MaxClients) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    auto *client = new Client(*this, socket);
    client->Pump(); // bytes that came with the connection
  }
}
