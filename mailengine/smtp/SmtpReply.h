#pragma once
// An SMTP reply as the client reads it: the three-digit code, its class, and the text lines; and
// the service extensions an EHLO reply announces, read once into named fields.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace smtp {

struct Reply {
  int code = 0;             // 0 when the first three characters are not digits
  QByteArray codeText;      // the first three characters as sent ("250", "+OK", "-ER")
  QList<QByteArray> lines;  // the text of each line, after the code and its separator
  QByteArray raw;           // the reply as received, line ends included

  // A complete reply from raw bytes: every line but the last has "-" after the code.
  static Reply Parse(const QByteArray& raw);

  bool IsPositive() const { return code >= 200 && code < 300; }
  bool IsIntermediate() const { return code >= 300 && code < 400; }
  bool IsTransientFailure() const { return code >= 400 && code < 500; }
  bool IsPermanentFailure() const { return code >= 500 && code < 600; }
  // The reply as readable text (UTF-8, else Windows-1252), without the last line end.
  QString Text() const;
};

// What an EHLO reply announces. A HELO reply, or a server without extensions, leaves all unset.
struct Extensions {
  QStringList authMechanisms;  // upper case, from "AUTH mech ..." and the older "AUTH=mech ..."
  bool authEqualsLogin = false;  // LOGIN announced in the older "AUTH=" form
  std::optional<qint64> size;    // SIZE, 0 when the server names no limit
  bool startTls = false;
  bool pipelining = false;
  bool eightBitMime = false;
  bool smtpUtf8 = false;

  static Extensions FromEhlo(const Reply& reply);
  bool HasAuth(const QString& mechanism) const { return authMechanisms.contains(mechanism); }
};

}  // namespace smtp
