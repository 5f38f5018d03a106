#include "smtp/SmtpReply.h"

#include "mime/Codec.h"

namespace smtp {

Reply Reply::Parse(const QByteArray& raw) {
  Reply r;
  r.raw = raw;
  r.codeText = raw.left(3).toUpper();
  bool digits = r.codeText.size() == 3;
  for (char c : r.codeText) digits = digits && c >= '0' && c <= '9';
  r.code = digits ? r.codeText.toInt() : 0;
  for (QByteArray line : raw.split('\n')) {
    while (line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) continue;
    r.lines.append(line.mid(4));
  }
  return r;
}

QString Reply::Text() const {
  QByteArray r = raw;
  while (r.endsWith('\n') || r.endsWith('\r')) r.chop(1);
  return codec::Utf8OrWindows1252(r);
}

Extensions Extensions::FromEhlo(const Reply& reply) {
  Extensions e;
  if (!reply.IsPositive()) return e;
  // Every line after the greeting names one extension and its parameters; the greeting (a
  // domain name) never matches one.
  for (qsizetype i = 0; i < reply.lines.size(); ++i) {
    const QByteArray line = reply.lines[i].trimmed().toUpper();
    const bool oldAuth = line.startsWith("AUTH=");
    if (line.startsWith("AUTH ") || oldAuth) {
      for (const QByteArray& mech : line.mid(5).simplified().split(' ')) {
        if (mech.isEmpty()) continue;
        if (!e.authMechanisms.contains(QString::fromLatin1(mech))) e.authMechanisms.append(QString::fromLatin1(mech));
        if (oldAuth && mech == "LOGIN") e.authEqualsLogin = true;
      }
      continue;
    }
    const QList<QByteArray> words = line.simplified().split(' ');
    const QByteArray& keyword = words.front();
    if (keyword == "SIZE")
      e.size = words.size() > 1 ? words[1].toLongLong() : 0;
    else if (keyword == "STARTTLS")
      e.startTls = true;
    else if (keyword == "PIPELINING")
      e.pipelining = true;
    else if (keyword == "8BITMIME")
      e.eightBitMime = true;
    else if (keyword == "SMTPUTF8")
      e.smtpUtf8 = true;
  }
  return e;
}

}  // namespace smtp
