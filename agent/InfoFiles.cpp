#include "InfoFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "ConfRecords.h"
#include "FileFunctions.h"
#include "FileIo.h"
#include "OneLine.h"

namespace agent {
namespace {

const QString kRule = QString(75, QLatin1Char('#'));

}  // namespace

namespace {

// Line `number` (from 1) of the open file fd without the LF that ends it, read in blocks so that
// nothing behind that line is read and no line is held beyond its limit. False at the end of the
// file before that line (*why stays empty), or with *why when the file cannot be read or a line
// is too long.
bool ReadLine(int fd, int number, QByteArray* out, QString* why) {
  char block[64 * 1024];
  int n = 1;
  qsizetype length = 0;  // of the current line so far
  char last = '\0';      // its last byte: a CR there may be the start of its line end
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *why = ErrnoText(errno);
      return false;
    }
    if (got == 0) break;
    for (qsizetype at = 0; at < got;) {
      const auto* lf = static_cast<const char*>(std::memchr(block + at, '\n', size_t(got - at)));
      const qsizetype end = lf ? lf - block : got;
      if (end > at) {
        if (n == number) out->append(block + at, end - at);
        length += end - at;
        last = block[end - 1];
      }
      if (length > kMaxInfoLineBytes + (last == '\r' ? 1 : 0)) {
        *why = QStringLiteral("line %1 is longer than %2 bytes").arg(n).arg(kMaxInfoLineBytes);
        out->clear();
        return false;
      }
      if (!lf) break;
      if (n == number) return true;
      ++n, length = 0, last = '\0', at = end + 1;
    }
  }
  // A last line without a line end counts.
  return n == number && length > 0;
}

}  // namespace

QString ReadInfoFileField(const QString& file, qint16 line, const QString& startSep,
                          const QString& endSep, QString* error) {
  if (error) error->clear();
  if (line < 1) return {};
  // Not blocking on open: only a regular file is read, and a FIFO put in its place must not
  // hold the cycle.
  const int fd = vrl::OpenFile(file, O_RDONLY | O_NONBLOCK);
  QString why;
  QByteArray bytes;
  bool found = false;
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    why = ErrnoText(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = QStringLiteral("not a regular file");
  } else {
    found = ReadLine(fd, line, &bytes, &why);
  }
  if (fd >= 0) ::close(fd);
  if (error) *error = why;
  if (!found) return {};
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

namespace {

// A sender's value on the one line its label gives it, TAB included.
using vrl::OneLine;

}  // namespace

namespace {

// The lines before the message text and those after it: the text itself is written as it is,
// never copied into one buffer with them.
std::pair<QByteArray, QByteArray> InfoAround(const ReceivedMessage& record) {
  const QString crlf = QStringLiteral("\r\n");
  QString head = QStringLiteral("From: ") + crlf + OneLine(record.from) + crlf + kRule + crlf;
  head += QStringLiteral("Subject: ") + crlf + OneLine(record.subject) + crlf + kRule + crlf;
  head += QStringLiteral("Message: ") + crlf;
  QString tail = crlf + kRule + crlf + QStringLiteral("Attachment(s) File(s): ") + crlf;
  for (const QString& a : record.attachments) tail += a + crlf;
  return {head.toUtf8(), tail.toUtf8()};
}

}  // namespace

QByteArray InboundInfoText(const ReceivedMessage& record) {
  const auto [head, tail] = InfoAround(record);
  return head + record.message + tail;
}

bool StageInboundInfoFile(delivery::MessageFiles& files, const ReceivedMessage& record, const QString& ext,
                          QString* error) {
  const FileFunctions ff;
  const auto [head, tail] = InfoAround(record);
  const QString prefix = files.Folder() + QLatin1Char('/');
  QString x = ext;
  if (record.attachments.isEmpty())
    return !files.AddBytes(ff.ModifiFileExtention(QStringLiteral("MSG"), x), {head, record.message, tail}, error)
                .isEmpty();
  for (const QString& a : record.attachments) {
    if (a == kUnsupportedAttachment) continue;
    const QString leaf = a.startsWith(prefix) ? a.mid(prefix.size()) : a;
    if (files.AddBytes(ff.ModifiFileExtention(leaf, x), {head, record.message, tail}, error).isEmpty()) return false;
  }
  return true;
}

bool WriteInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QString* error) {
  delivery::MessageFiles files(dir);
  return StageInboundInfoFile(files, record, ext, error) && files.Place(error);
}

}  // namespace agent
