#include "Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace vrlconf {

QString AutostartFilePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/autostart/vorlane-v3.desktop");
}

QString ConsoleProgramPath() {
  return QCoreApplication::applicationDirPath() + QStringLiteral("/VRL31");
}

QByteArray AutostartEntryText(const QString& program) {
  // Exec: a path with reserved characters goes in double quotes with ", `, $ and \ escaped;
  // the key's value then escapes every backslash once more, and % is doubled for the field codes.
  static const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=");
  bool quote = false;
  for (const QChar c : program) quote = quote || kReserved.contains(c);
  QString exec;
  for (const QChar c : program) {
    if (c == QLatin1Char('%')) exec += QStringLiteral("%%");
    else if (quote && QStringLiteral("\"`$\\").contains(c)) exec += QLatin1Char('\\') + QString(c);
    else exec += c;
  }
  if (quote) exec = QLatin1Char('"') + exec + QLatin1Char('"');
  exec.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  return QStringLiteral(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Vorlane V3\n"
             "Comment=Vorlane console: processes the mail of the configured profiles\n"
             "Exec=%1\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n")
      .arg(exec)
      .toUtf8();
}

bool SetAutostartEntry(const QString& program) {
  const QString path = AutostartFilePath();
  if (!QDir().mkpath(QFileInfo(path).path())) return false;
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(AutostartEntryText(program));
  return file.commit();
}

bool DeleteAutostartEntry() { return QFile::remove(AutostartFilePath()); }

}  // namespace vrlconf
