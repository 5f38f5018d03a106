#include "InstanceLock.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vrl {

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing drops the lock
  fd_ = -1;
}

bool InstanceLock::Acquire(const QString& path, int waitMs, QString* error) {
  Release();
  heldElsewhere_ = false;
  const QByteArray native = path.toLocal8Bit();
  const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error) *error = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  const QDeadlineTimer deadline(waitMs);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || deadline.hasExpired()) {
      const int err = errno;
      heldElsewhere_ = err == EWOULDBLOCK;
      if (error) {
        if (err == EWOULDBLOCK) {
          char pid[32] = {};
          const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
          const QString holder = QString::fromLatin1(pid, n > 0 ? int(n) : 0).trimmed();
          *error = holder.isEmpty() ? QStringLiteral("held by another process")
                                    : QStringLiteral("held by process ") + holder;
        } else {
          *error = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
        }
      }
      ::close(fd);
      return false;
    }
    QThread::msleep(50);
  }
  // The holder's pid, for the message a second process gives.
  const QByteArray pid = QByteArray::number(::getpid()) + '\n';
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
  }
  fd_ = fd;
  return true;
}

}  // namespace vrl
