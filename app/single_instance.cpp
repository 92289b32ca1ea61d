#include "app/single_instance.hpp"

#include <QCryptographicHash>
#include <QGuiApplication>
#include <QLocalSocket>

#include "platform/user_identity.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {

namespace {
constexpr int kConnectMs = 500;
constexpr int kAnswerMs = 1000;
constexpr char kRequest[] = "front\n";
constexpr char kReply[] = "ok\n";
// Longer than any request: the peer is not one of ours.
constexpr qint64 kMaxRequest = 64;

// Another user's process can take or reach a name in the abstract namespace; only our own user's
// counts.
bool IsOwnUser(const QLocalSocket& socket) {
  return platform::host::PeerUserId(static_cast<int>(socket.socketDescriptor())) ==
         platform::host::CurrentUserId();
}
}  // namespace

QString InstanceName() {
  QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (display.isEmpty()) display = qEnvironmentVariable("DISPLAY");
  const QByteArray key = QByteArray(wizard::kApplicationTitle) + '\n' +
                         QByteArray::number(platform::host::CurrentUserId()) + '\n' +
                         QGuiApplication::platformName().toUtf8() + '\n' + display.toUtf8();
  return QStringLiteral("kavori-fwtool-") +
         QString::fromLatin1(
             QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32));
}

SingleInstanceGuard::SingleInstanceGuard(QString name) : name_(std::move(name)) {
  server_.setSocketOptions(QLocalServer::AbstractNamespaceOption);
  QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { Answer(); });
}

bool SingleInstanceGuard::Claim() {
  // A start that races ours either listens first (we then ask it) or finds us listening.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (AskRunningInstance()) return false;
    if (server_.listen(name_)) return true;
    // No socket can be made at all: run unguarded rather than not at all.
    if (server_.serverError() != QAbstractSocket::AddressInUseError) return true;
  }
  // The name stays taken by a process of another user: the same.
  return true;
}

bool SingleInstanceGuard::AskRunningInstance() const {
  QLocalSocket socket;
  socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectMs) || !IsOwnUser(socket)) return false;
  socket.write(kRequest);
  socket.waitForBytesWritten(kConnectMs);
  // The answer only confirms delivery; a running wizard that is slow to answer is still there.
  socket.waitForReadyRead(kAnswerMs);
  return true;
}

void SingleInstanceGuard::Answer() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!IsOwnUser(*socket)) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequest) socket->abort();
        return;
      }
      if (socket->readLine(kMaxRequest) == kRequest && comeForward_) comeForward_();
      socket->write(kReply);
      socket->disconnectFromServer();
    });
  }
}

}  // namespace kavori::app
