#include "FileIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrl {
namespace {

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

// Keeps errno of the failure across the clean-up calls that follow it.
bool FailWith(int err) {
  errno = err;
  return false;
}

}  // namespace

bool WriteAll(int fd, QByteArrayView bytes) {
  const char* p = bytes.data();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

bool WriteAllAt(int fd, QByteArrayView bytes, qint64 offset) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done),
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

int OpenFile(const QString& path, int flags, mode_t mode) {
  const QByteArray native = Native(path);
  int fd;
  do {
    fd = ::open(native.constData(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int CreateNewFile(const QString& path, mode_t mode) {
  return OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, mode);
}

int CreateTemporary(QByteArray& pattern, int suffixLength) {
  return ::mkostemps(pattern.data(), suffixLength, O_CLOEXEC);
}

void RemoveTemporariesBeside(const QString& path) {
  const QFileInfo info(path);
  const QDir dir = info.dir();
  for (const QString& left : dir.entryList({QLatin1Char('.') + info.fileName() + QStringLiteral(".??????")},
                                           QDir::Files | QDir::Hidden))
    QFile::remove(dir.filePath(left));
}

QString CreateTemporaryBeside(const QString& path) {
  const QFileInfo info(path);
  QByteArray pattern =
      Native(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
  const int fd = CreateTemporary(pattern);
  if (fd < 0) return {};
  ::close(fd);
  return QFile::decodeName(pattern);
}

bool FlushFile(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

bool FlushFolder(const QString& dir) {
  const int fd = OpenFile(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool ok = FlushFile(fd);
  const int err = errno;
  ::close(fd);
  return ok || FailWith(err);
}

bool FlushFileSystemOf(const QString& dir) {
  const int fd = OpenFile(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool ok = ::syncfs(fd) == 0 && FlushFile(fd);
  const int err = errno;
  ::close(fd);
  return ok || FailWith(err);
}

bool WriteNewFile(const QString& path, QByteArrayView bytes, bool flush, mode_t mode) {
  return WriteNewFile(path, {bytes}, flush, mode);
}

bool WriteNewFile(const QString& path, std::initializer_list<QByteArrayView> pieces, bool flush,
                  mode_t mode) {
  const int fd = CreateNewFile(path, mode);
  if (fd < 0) return false;
  int err = 0;
  for (QByteArrayView bytes : pieces)
    if (err == 0 && !WriteAll(fd, bytes)) err = errno;
  if (err == 0 && flush && !FlushFile(fd)) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && flush && !FlushFolder(QFileInfo(path).absolutePath())) err = errno;
  if (err == 0) return true;
  ::unlink(Native(path).constData());
  return FailWith(err);
}

bool RenameOver(const QString& from, const QString& to, bool flush) {
  if (::rename(Native(from).constData(), Native(to).constData()) != 0) return false;
  return !flush || FlushFolder(QFileInfo(to).absolutePath());
}

bool ReplaceFile(const QString& path, QByteArrayView bytes, bool flushFolder, mode_t mode) {
  const QString temp = CreateTemporaryBeside(path);
  if (temp.isEmpty()) return false;
  const int fd = OpenFile(temp, O_WRONLY);
  int err = fd < 0 ? errno : 0;
  if (err == 0 && mode != 0600 && ::fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && (!WriteAll(fd, bytes) && !bytes.isEmpty())) err = errno;
  if (err == 0 && !FlushFile(fd)) err = errno;
  if (fd >= 0 && ::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && RenameOver(temp, path, flushFolder)) return true;
  if (err == 0) err = errno;
  ::unlink(Native(temp).constData());
  return FailWith(err);
}

bool RenameNoReplace(const QString& from, const QString& to) {
  const QByteArray f = Native(from);
  const QByteArray t = Native(to);
  if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(f.constData(), t.constData()) != 0) return false;
  ::unlink(f.constData());
  return true;
}

QString ReasonSuffix(int err) {
  return err ? QStringLiteral(" - ") + QString::fromLocal8Bit(std::strerror(err)) : QString();
}

}  // namespace vrl
