// kavori_bench_empty_window NAME: the floor of the window's start-up time. A Qt widgets program
// that does the least the wizard does before it can answer: listens on the local socket NAME (in
// the abstract namespace, as the single-instance guard does), shows an empty dialog and answers
// "ok" to each line from its event loop.
#include <QApplication>
#include <QDialog>
#include <QLocalServer>
#include <QLocalSocket>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) return 64;
  QLocalServer server;
  server.setSocketOptions(QLocalServer::AbstractNamespaceOption);
  if (!server.listen(QString::fromLocal8Bit(argv[1]))) return 1;
  QObject::connect(&server, &QLocalServer::newConnection, &server, [&server] {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
        if (!socket->canReadLine()) return;
        socket->readLine();
        socket->write("ok\n");
        socket->disconnectFromServer();
      });
    }
  });
  QDialog dialog;
  dialog.resize(500, 360);
  dialog.show();
  return application.exec();
}
