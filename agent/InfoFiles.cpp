#include "InfoFiles.h"

#include <QFile>

#include "ConfRecords.h"
#include "FileFunctions.h"

namespace agent {
namespace {

const QString kRule = QString(75, QLatin1Char('#'));

}  // namespace

QString ReadInfoFileField(const QString& file, qint16 line, const QString& startSep,
                          const QString& endSep) {
  if (line < 1) return {};
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return {};
  // Read line by line: a large file that is not an information file costs only its first lines.
  QByteArray bytes;
  for (int n = 1; n <= line; ++n) {
    if (f.atEnd()) return {};
    bytes = f.readLine();
    if (bytes.isEmpty() && f.error() != QFile::NoError) return {};
  }
  while (bytes.endsWith('\n') || bytes.endsWith('\r')) bytes.chop(1);
  const QString text = conf::DecodeRecordString(bytes);

  const qsizetype p1 = startSep.isEmpty() ? 0 : text.indexOf(startSep, 0, Qt::CaseInsensitive);
  if (p1 < 0) return {};
  const qsizetype from = p1 + startSep.size();
  if (endSep.isEmpty()) return text.mid(from);
  qsizetype p2 = text.indexOf(endSep, from, Qt::CaseInsensitive);
  if (p2 < 0) return {};
  for (qsizetype q; (q = text.indexOf(endSep, p2 + endSep.size(), Qt::CaseInsensitive)) >= 0;)
    p2 = q;
  return text.mid(from, p2 - from);
}

QByteArray InboundInfoText(const ReceivedMessage& record) {
  QString t;
  const QString crlf = QStringLiteral("\r\n");
  t += QStringLiteral("From: ") + crlf + record.from + crlf + kRule + crlf;
  t += QStringLiteral("Subject: ") + crlf + record.subject + crlf + kRule + crlf;
  t += QStringLiteral("Message: ") + crlf + record.message + crlf + kRule + crlf;
  t += QStringLiteral("Attachment(s) File(s): ") + crlf;
  for (const QString& a : record.attachments) t += a + crlf;
  return t.toUtf8();
}

bool StageInboundInfoFile(delivery::MessageFiles& files, const ReceivedMessage& record, const QString& ext,
                          QString* error) {
  const FileFunctions ff;
  const QByteArray text = InboundInfoText(record);
  const QString prefix = files.Folder() + QLatin1Char('/');
  QString x = ext;
  if (record.attachments.isEmpty())
    return !files.AddBytes(ff.ModifiFileExtention(QStringLiteral("MSG"), x), text, error).isEmpty();
  for (const QString& a : record.attachments) {
    if (a == kUnsupportedAttachment) continue;
    const QString leaf = a.startsWith(prefix) ? a.mid(prefix.size()) : a;
    if (files.AddBytes(ff.ModifiFileExtention(leaf, x), text, error).isEmpty()) return false;
  }
  return true;
}

bool WriteInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QString* error) {
  delivery::MessageFiles files(dir);
  return StageInboundInfoFile(files, record, ext, error) && files.Place(error);
}

}  // namespace agent
