#include "AppFolder.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace vrl {
namespace {
QString& Override() {
  static QString folder;
  return folder;
}
}  // namespace

QString ApplicationFolder() {
  if (!Override().isEmpty()) return Override();
  const QByteArray home = qgetenv("VORLANE_HOME");
  if (!home.isEmpty()) return QString::fromUtf8(home);
  return DefaultApplicationFolder();
}

QString DefaultApplicationFolder() {
  QString base = QString::fromUtf8(qgetenv("XDG_CONFIG_HOME"));
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/vorlane");
}

void SetApplicationFolder(const QString& folder) { Override() = folder; }

bool EnsureApplicationFolder(QString* failed) {
  if (ApplicationFolder().isEmpty()) {
    errno = ENOENT;
    return false;
  }
  const QString folder = QDir::cleanPath(ApplicationFolder());  // no trailing "/"
  if (failed) *failed = folder;
  const QFileInfo info(folder);
  if (info.isDir()) return true;
  if (info.exists()) {
    errno = ENOTDIR;
    return false;
  }
  // A chosen folder (--home, $VORLANE_HOME) gets no parents: a mistyped path must fail, not
  // become folders. The default one lives in ~/.config, which a new account may lack.
  const QString parent = info.absolutePath();
  const bool chosen = !Override().isEmpty() || !qgetenv("VORLANE_HOME").isEmpty();
  if (!QFileInfo(parent).isDir()) {
    if (chosen || !QDir().mkpath(parent)) {
      if (failed) *failed = parent;
      errno = QFileInfo::exists(parent) ? ENOTDIR : ENOENT;
      return false;
    }
  }
  // Mode 0700 at once: the configuration files in it hold passwords.
  const QByteArray native = QFile::encodeName(folder);
  if (::mkdir(native.constData(), 0700) != 0) return errno == EEXIST && QFileInfo(folder).isDir();
  ::chmod(native.constData(), 0700);  // the umask may have narrowed it; the owner needs all three
  return true;
}

QString PathInApplicationFolder(const QString& fileName) {
  QString folder = ApplicationFolder();
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder + fileName;
}

}  // namespace vrl
