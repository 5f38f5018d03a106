#include "InfoFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

#include "ConfRecords.h"
#include "FileFunctions.h"
#include "FileIo.h"

namespace agent {
namespace {

constexpr int kMaxUniqueTries = 32767;
const QString kTempPrefix = QStringLiteral(".vrltmp-");
const QString kRule = QString(75, QLatin1Char('#'));

bool Exists(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

}  // namespace

QString ErrnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

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

// A sender's value on the one line its label gives it: line breaks, TAB and every other control
// character (C0, DEL, C1, U+2028, U+2029) become spaces, so no reader finds a line moved.
QString OneLine(QString s) {
  for (QChar& c : s) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029) c = u' ';
  }
  return s;
}

}  // namespace

QByteArray InboundInfoText(const ReceivedMessage& record) {
  QString t;
  const QString crlf = QStringLiteral("\r\n");
  t += QStringLiteral("From: ") + crlf + OneLine(record.from) + crlf + kRule + crlf;
  t += QStringLiteral("Subject: ") + crlf + OneLine(record.subject) + crlf + kRule + crlf;
  t += QStringLiteral("Message: ") + crlf + record.message + crlf + kRule + crlf;
  t += QStringLiteral("Attachment(s) File(s): ") + crlf;
  for (const QString& a : record.attachments) t += a + crlf;
  return t.toUtf8();
}

QString OneFileName(QString name) {
  for (QChar& c : name)
    if (c == QLatin1Char('/') || c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('_');
  if (name.startsWith(QLatin1Char('.'))) name[0] = QLatin1Char('_');
  return name;
}

QString MakeUniqueFileName(const QString& path, const QSet<QString>& alsoTaken) {
  const FileFunctions ff;
  const QString dir = ff.GetPathOfFile(path);
  const QString name = ff.GetFileNameFromPath(path);
  QString candidate = path;
  for (int n = 1; n <= kMaxUniqueTries && (alsoTaken.contains(candidate) || Exists(candidate)); ++n)
    candidate = dir + QString::number(n) + QLatin1Char('-') + name;
  return candidate;
}

QString TemporaryNameIn(const QString& dir) {
  const quint64 r = QRandomGenerator::system()->generate64();
  return dir + QLatin1Char('/') + kTempPrefix + QString::number(r, 36);
}

void RemoveLeftoverTemporaries(const QString& dir, const QSet<QString>& keep) {
  const QStringList names = QDir(dir).entryList({kTempPrefix + QLatin1Char('*')},
                                                QDir::Files | QDir::Hidden | QDir::System);
  for (const QString& n : names)
    if (!keep.contains(dir + QLatin1Char('/') + n)) QFile::remove(dir + QLatin1Char('/') + n);
}

QString RenameToFreeName(const QString& from, const QString& wanted) {
  // Another writer may take a name between the check and the rename: try the next one then.
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    const QString target = MakeUniqueFileName(wanted);
    if (vrl::RenameNoReplace(from, target)) return target;
    err = errno;
  }
  errno = err;
  return {};
}

bool StageInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QList<StagedFile>* staged, QString* error) {
  const FileFunctions ff;
  const QByteArray text = InboundInfoText(record);
  const QString prefix = dir + QLatin1Char('/');

  // One file under a temporary name, then either put over `target` (the information file of an
  // attachment file just created replaces an older one of that name) or moved to a free name
  // made from it.
  auto stageOne = [&](const QString& target, bool replace) {
    const QString temp = TemporaryNameIn(dir);
    if (!vrl::WriteNewFile(temp, text, false, kInboundMode)) {
      if (error) *error = target + QStringLiteral(" - ") + ErrnoText(errno);
      return false;
    }
    staged->append({temp, replace ? target : MakeUniqueFileName(target, StagedTargets(*staged)), replace});
    return true;
  };

  QString x = ext;
  if (record.attachments.isEmpty())
    return stageOne(prefix + OneFileName(ff.ModifiFileExtention(QStringLiteral("MSG"), x)), false);

  for (const QString& a : record.attachments) {
    if (a == kUnsupportedAttachment) continue;
    const bool created = a.startsWith(prefix);
    const QString leaf = created ? a.mid(prefix.size()) : a;
    const QString name = prefix + OneFileName(ff.ModifiFileExtention(leaf, x));
    // Replacing is only for the information file beside an attachment file created for this
    // message; a bare name (attachment files off) or a name that is one of this message's own
    // attachment files (same extensions) gets a free name instead, so nothing is overwritten.
    const bool replace = created && !record.attachments.contains(name);
    if (!stageOne(name, replace)) return false;
  }
  return true;
}

bool WriteInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QString* error) {
  QList<StagedFile> staged;
  QString why;
  const bool ok = StageInboundInfoFile(dir, record, ext, &staged, &why) && PlaceStagedFiles(staged, &why);
  for (const StagedFile& f : std::as_const(staged)) QFile::remove(f.temp);
  if (!ok && error) *error = why;
  return ok;
}

QSet<QString> StagedTargets(const QList<StagedFile>& files) {
  QSet<QString> targets;
  for (const StagedFile& f : files) targets.insert(f.target);
  return targets;
}

bool PlaceStagedFiles(const QList<StagedFile>& files, QString* error) {
  for (const StagedFile& f : files) {
    struct stat temp {}, target {};
    if (::lstat(QFile::encodeName(f.temp).constData(), &temp) != 0) continue;  // in place already
    // Where the kernel cannot rename without replacing, a hard link stands in; a run that ended
    // between the link and the removal of the temporary left both names on one file.
    if (::lstat(QFile::encodeName(f.target).constData(), &target) == 0 && temp.st_ino == target.st_ino &&
        temp.st_dev == target.st_dev) {
      QFile::remove(f.temp);
      continue;
    }
    const bool placed = f.replace ? vrl::RenameOver(f.temp, f.target, false) : !RenameToFreeName(f.temp, f.target).isEmpty();
    if (!placed) {
      if (error) *error = f.target + QStringLiteral(" - ") + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace agent
