#pragma once
// A loopback HTTP server for the token endpoint tests.
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// Answers each request with the next scripted answer (status 0: never answers) and keeps the
// request bodies.
class TokenServer {
 public:
  struct Answer {
    int status;
    QByteArray body;
    QByteArray headers = {};  // more header lines, each ending in CR LF
  };
  explicit TokenServer(QList<Answer> answers) : answers_(std::move(answers)) {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      QTcpSocket* s = server_.nextPendingConnection();
      QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Take(s); });
    });
  }
  QUrl Url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/token").arg(server_.serverPort())); }
  QList<QByteArray> bodies;

 private:
  void Take(QTcpSocket* s) {
    buffer_ += s->readAll();
    const qsizetype end = buffer_.indexOf("\r\n\r\n");
    const qsizetype at = buffer_.toLower().indexOf("content-length:");
    if (end < 0 || at < 0) return;
    const qsizetype length = buffer_.mid(at + 15, buffer_.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
    if (buffer_.size() < end + 4 + length) return;
    bodies << buffer_.mid(end + 4, length);
    buffer_.clear();
    const Answer a = answers_.isEmpty() ? Answer{500, {}} : answers_.takeFirst();
    if (a.status == 0) return;
    s->write("HTTP/1.1 " + QByteArray::number(a.status) + " X\r\nContent-Type: application/json\r\n" + a.headers +
             "Content-Length: " + QByteArray::number(a.body.size()) + "\r\nConnection: close\r\n\r\n" + a.body);
    s->disconnectFromHost();
  }
  QTcpServer server_;
  QList<Answer> answers_;
  QByteArray buffer_;
};
