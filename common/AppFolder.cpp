#include "AppFolder.h"

#include <QDir>
#include <QFileInfo>

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
  QString base = QString::fromUtf8(qgetenv("XDG_CONFIG_HOME"));
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/vorlane");
}

void SetApplicationFolder(const QString& folder) { Override() = folder; }

bool EnsureApplicationFolder() {
  const QString folder = ApplicationFolder();
  if (QFileInfo(folder).isDir()) return true;
  if (!QDir().mkpath(folder)) return false;
  // Mode 0700: the configuration files hold passwords.
  ::chmod(QFile::encodeName(folder).constData(), 0700);
  return true;
}

QString PathInApplicationFolder(const QString& fileName) {
  QString folder = ApplicationFolder();
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder + fileName;
}

}  // namespace vrl
