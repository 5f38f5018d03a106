#pragma once
// What went wrong in a mail session, as one value: its kind, our description (the text
// GetLastError gives), and the server's reply when there is one. Retry decisions and exit statuses
// come from the kind, never from the text.
#include <QByteArray>
#include <QString>

namespace mailerr {

enum class Kind {
  None,
  Connection,          // could not connect, or the connection broke
  Timeout,             // the server did not answer in time
  Tls,                 // TLS could not be set up or verified, or the server offers none when required
  Login,               // the server refused the login
  RefusedPermanently,  // a 5xx (SMTP) or -ERR (POP3) answer to a command
  RefusedForNow,       // a 4xx answer (SMTP), or a POP3 refusal that names a passing cause
  Protocol,            // an answer the command cannot get, or garbage
  Input,               // the caller's data was refused before anything was sent (an address)
  Local,               // a local file or resource failed (an attachment that cannot be read)
};

struct Error {
  Kind kind = Kind::None;
  QString description;
  QByteArray reply;  // the server's reply as received, empty when there was none
  bool transient = false;

  // transient follows the kind: a connection, a time-out or a refusal for now may pass by itself.
  static Error Make(Kind kind, const QString& description, const QByteArray& reply = QByteArray()) {
    return {kind, description, reply,
            kind == Kind::Connection || kind == Kind::Timeout || kind == Kind::RefusedForNow};
  }
  Error& Transient(bool t) {
    transient = t;
    return *this;
  }
  explicit operator bool() const { return kind != Kind::None; }
  // The reply's three-digit code, 0 when there is none.
  int ReplyCode() const {
    if (reply.size() < 3) return 0;
    bool ok = false;
    const int code = reply.left(3).toInt(&ok);
    return ok ? code : 0;
  }
};

// The kind's name for logs and tests ("connection", "time-out", ...).
const char* KindName(Kind kind);

}  // namespace mailerr
