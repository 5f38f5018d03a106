#include "mime/MimeCompose.h"

#include "mime/Codec.h"

#include <QFile>
#include <QMimeDatabase>
#include <cmath>

namespace mimecompose {
namespace {

using namespace codec;

QByteArray Hex8(qint64 v) { return QByteArray::number(v, 16).toUpper().rightJustified(8, '0'); }

// A character that can be part of a file name in a reference (so a name found right after it is
// only the tail of a longer name).
bool NameChar(QChar c) {
  return c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u'~' || c == u'%';
}

QByteArray QuotedAddress(const QString& address) { return "\"" + WireBytes(address) + "\""; }

QByteArray DisplayText(const QString& name, const QString& address) {
  if (!name.trimmed().isEmpty()) return EncodeHeaderText(name, true);
  return QuotedAddress(address);
}

}  // namespace

bool MessageContent::Related() const {
  for (const auto& a : attachments)
    if (a.embedded) return true;
  return false;
}

bool MarkEmbedded(QString& body, std::vector<AttachmentInfo>& attachments) {
  bool any = false;
  for (auto& a : attachments) {
    if (a.name.isEmpty()) continue;
    const QString cid = QStringLiteral("cid:") + a.name;
    qsizetype from = 0;
    for (;;) {
      const qsizetype at = body.indexOf(a.name, from, Qt::CaseInsensitive);
      if (at < 0) break;
      const qsizetype end = at + a.name.size();
      from = end;
      // The name must stand whole: not the tail or head of a longer name.
      if (at > 0 && NameChar(body[at - 1])) continue;
      if (end < body.size() && NameChar(body[end])) continue;
      // Inside a tag: a "<" before it whose ">" comes after it.
      const qsizetype lt = body.lastIndexOf(u'<', at);
      if (lt < 0) continue;
      const qsizetype gt = body.indexOf(u'>', lt);
      if (gt < end) continue;
      // From the last "=" of that tag before the name (or the quote right after it).
      const qsizetype eq = body.lastIndexOf(u'=', at);
      if (eq <= lt) continue;
      qsizetype start = eq + 1;
      for (qsizetype i = eq + 1; i < at; ++i) {
        if (body[i] == u'"' || body[i] == u'\'') {
          start = i + 1;
          break;
        }
        if (!body[i].isSpace()) break;
      }
      body.replace(start, end - start, cid);
      a.embedded = true;
      any = true;
      from = start + cid.size();
    }
  }
  return any;
}

QByteArray MakeBoundary(const QDateTime& now) {
  const qint64 day = QDate(1899, 12, 30).daysTo(now.date());
  const qint64 frac = std::llround(now.time().msecsSinceStartOfDay() / 86400000.0 * 1e8);
  return "----_=_NextPart_000_" + Hex8(day) + "." + Hex8(frac);
}

QByteArray ZoneSuffix(int utcOffsetSeconds) {
  const int minutes = utcOffsetSeconds / 60;
  const int a = minutes < 0 ? -minutes : minutes;
  QByteArray out(minutes < 0 ? "-" : "+");
  out += QByteArray::number(a / 60).rightJustified(2, '0');
  out += QByteArray::number(a % 60).rightJustified(2, '0');
  return out;
}

QByteArray DateText(const QDateTime& now, int utcOffsetSeconds) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const QDate d = now.date();
  const QTime t = now.time();
  QByteArray out = kDays[d.dayOfWeek() - 1];
  out += ", " + QByteArray::number(d.day()) + " " + kMonths[d.month() - 1] + " " +
         QByteArray::number(d.year()).rightJustified(4, '0') + " ";
  out += QByteArray::number(t.hour()).rightJustified(2, '0') + ":" +
         QByteArray::number(t.minute()).rightJustified(2, '0') + ":" +
         QByteArray::number(t.second()).rightJustified(2, '0');
  return out + " " + ZoneSuffix(utcOffsetSeconds);
}

QByteArray FromValue(const MessageContent& m) {
  return DisplayText(m.fromDisplayName, m.from) + " <" + WireBytes(m.from) + ">";
}

QByteArray AddressListValue(const QStringList& addresses, const QStringList& names) {
  QByteArray out;
  for (qsizetype i = 0; i < addresses.size(); ++i) {
    if (i > 0) out += ",\r\n\t";
    const QString address = addresses[i].trimmed();
    out += DisplayText(i < names.size() ? names[i] : QString(), address) + " <" + WireBytes(address) + ">";
  }
  return out;
}

QString GetContentType(const QString& strFile, const QString& strDefault) {
  const qsizetype dot = strFile.lastIndexOf(u'.');
  if (dot < 0) return strDefault;
  const QString ext = strFile.mid(dot);
  if (ext.size() < 2 || ext.contains(u'/')) return strDefault;
  static const QMimeDatabase db;
  const QMimeType type = db.mimeTypeForFile(QStringLiteral("x") + ext, QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return strDefault;
  return type.name();
}

QByteArray ComposeHead(const MessageContent& m, const QByteArray& boundary, const QDateTime& now,
                       int utcOffsetSeconds) {
  const QByteArray from = FromValue(m);
  QByteArray h;
  h += "From: " + from + "\r\n";
  h += "To: " + AddressListValue(m.to, m.toNames) + "\r\n";
  if (!m.cc.isEmpty()) h += "Cc: " + AddressListValue(m.cc, m.ccNames) + "\r\n";
  h += "Subject: " + EncodeHeaderText(m.subject, false) + "\r\n";
  if (!m.replyTo.isEmpty()) h += "Reply-to: <" + WireBytes(m.replyTo) + ">\r\n";
  h += "Date: " + DateText(now, utcOffsetSeconds) + "\r\n";
  if (!m.uuencode) {
    h += "MIME-Version: 1.0\r\n";
    if (m.priority != 3) {
      h += "X-Priority: " + QByteArray::number(m.priority) + "\r\n";
      h += "X-MSMail-Priority: " + m.priorityText.toLatin1() + "\r\n";
    }
    if (m.receipt) h += "Disposition-Notification-To: " + from + "\r\n";
    if (m.Multipart()) {
      h += m.Related() ? "Content-Type: multipart/related;\r\n" : "Content-Type: multipart/mixed;\r\n";
      h += "\tboundary=\"" + boundary + "\"\r\n\r\n";
      h += "This is a multi-part message in MIME format.\r\n\r\n";
      h += "--" + boundary + "\r\n";
    }
    const bool utf8 = !FitsLatin1(m.body);
    const QByteArray body = WireBytes(m.body);
    bool eightBit = false;
    for (char c : body)
      if (static_cast<unsigned char>(c) > 126) {
        eightBit = true;
        break;
      }
    h += m.asHtml ? "Content-Type: text/html;\r\n" : "Content-Type: text/plain;\r\n";
    h += utf8 ? "\tcharset=\"utf-8\"\r\n" : "\tcharset=\"iso-8859-1\"\r\n";
    h += eightBit ? "Content-Transfer-Encoding: 8bit\r\n" : "Content-Transfer-Encoding: 7bit\r\n";
    if (m.asHtml && !m.contentBase.isEmpty())
      h += "Content-Base: \"" + WireBytes(m.contentBase) + "\"\r\n";
    h += "\r\n\r\n" + body + "\r\n\r\n\r\n";
  } else {
    h += "\r\n\r\n" + WireBytes(m.body) + "\r\n\r\n\r\n";
  }
  return h;
}

QByteArray AttachmentHead(const MessageContent& m, const AttachmentInfo& a, const QByteArray& boundary) {
  if (m.uuencode) return "begin 600 " + WireBytes(NameForLine(a.name)) + "\r\n";
  QByteArray h = "--" + boundary + "\r\n";
  h += "Content-Type: " + GetContentType(a.name, QStringLiteral("application/octet-stream")).toLatin1() + ";\r\n";
  h += "\tname=" + ParamNameValue(a.name) + "\r\n";
  h += "Content-Transfer-Encoding: base64\r\n";
  h += "Content-Disposition: attachment;\r\n";
  if (NameNeedsEncoding(a.name))
    h += "\tfilename*=" + Rfc2231Value(a.name) + "\r\n";
  else
    h += "\tfilename=\"" + a.name.toLatin1() + "\"\r\n";
  if (a.embedded) h += "Content-ID: <" + WireBytes(NameForLine(a.name)) + ">\r\n";
  h += "\r\n";
  return h;
}

QByteArray Closing(const MessageContent& m, const QByteArray& boundary) {
  if (m.Multipart()) return "--" + boundary + "--\r\n";
  return QByteArray();
}

qint64 EncodedDataSize(qint64 fileSize, bool uuencode) {
  if (uuencode) {
    const qint64 lines = (fileSize + 44) / 45;
    // length character, four characters a group, CR LF; "end" line.
    return lines * 3 + (fileSize + 2) / 3 * 4 + 5;
  }
  const qint64 groups = (fileSize + 2) / 3;
  const qint64 lines = groups == 0 ? 1 : (groups + 18) / 19;
  return groups * 4 + lines * 2 + 2;
}

qint64 EstimateSize(const MessageContent& m, const QByteArray& head, const QByteArray& boundary) {
  qint64 total = head.size() + Closing(m, boundary).size() + 3;
  for (const auto& a : m.attachments)
    total += AttachmentHead(m, a, boundary).size() + EncodedDataSize(a.size, m.uuencode);
  return total;
}

bool MessageWriter::Write(const MessageContent& m, const QByteArray& head, const QByteArray& boundary,
                          const Sink& sink, const StatusFn& status, QString* error) {
  if (!sink(head)) return false;
  for (const auto& a : m.attachments) {
    if (status)
      status((a.embedded ? QStringLiteral("Sending Embedded File, ") : QStringLiteral("Sending Attachment, ")) +
             a.name + QStringLiteral("..."));
    QFile file(a.path);
    if (!file.open(QIODevice::ReadOnly)) {
      if (error)
        *error = file.exists() ? QStringLiteral("Cannot read the file to attach: ") + a.path
                               : QStringLiteral("The file you tried to attach does not exist");
      return false;
    }
    if (!sink(AttachmentHead(m, a, boundary))) return false;
    QByteArray block;
    if (!m.uuencode) {
      bool any = false;
      for (;;) {
        block = file.read(kBlockBytes);
        if (block.isEmpty()) break;
        any = true;
        if (!sink(EncodeBase64(block))) return false;
        if (block.size() < kBlockBytes) break;
      }
      if (file.error() != QFileDevice::NoError) {
        if (error) *error = QStringLiteral("Cannot read the file to attach: ") + a.path;
        return false;
      }
      if (!sink(any ? QByteArray("\r\n") : QByteArray("\r\n\r\n"))) return false;
    } else {
      // 50 lines at a time: the sink serves the event loop between them.
      constexpr qint64 kUuBlock = 45 * 50;
      for (;;) {
        block = file.read(kUuBlock);
        if (block.isEmpty()) break;
        QByteArray lines;
        lines.reserve(block.size() * 62 / 45 + 64);
        for (qsizetype i = 0; i < block.size(); i += 45)
          lines += UUEncodeLine(block.constData() + i, static_cast<int>(std::min<qsizetype>(45, block.size() - i)));
        if (!sink(lines)) return false;
        if (block.size() < kUuBlock) break;
      }
      if (file.error() != QFileDevice::NoError) {
        if (error) *error = QStringLiteral("Cannot read the file to attach: ") + a.path;
        return false;
      }
      if (!sink("end\r\n")) return false;
    }
  }
  const QByteArray closing = Closing(m, boundary);
  if (!closing.isEmpty() && !sink(closing)) return false;
  return true;
}

bool ComposeToBytes(const MessageContent& m, const QDateTime& now, int utcOffsetSeconds, QByteArray* out,
                    QString* error) {
  const QByteArray boundary = MakeBoundary(now);
  const QByteArray head = ComposeHead(m, boundary, now, utcOffsetSeconds);
  out->clear();
  QString err;
  const bool ok = MessageWriter::Write(
      m, head, boundary,
      [out](const QByteArray& b) {
        out->append(b);
        return true;
      },
      {}, &err);
  if (error) *error = err;
  return ok;
}

}  // namespace mimecompose
