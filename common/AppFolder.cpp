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

bool EnsureApplicationFolder() {
  if (ApplicationFolder().isEmpty()) return false;
  const QString folder = QDir::cleanPath(ApplicationFolder());  // no trailing "/"
  if (QFileInfo(folder).isDir()) return true;
  // Parents as usual; the folder itself is made with mode 0700 at once, since the
  // configuration files in it hold passwords.
  const QString parent = QFileInfo(folder).absolutePath();
  if (!QFileInfo(parent).isDir() && !QDir().mkpath(parent)) return false;
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
