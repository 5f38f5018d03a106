#include "Autostart.h"

#include "AppFolder.h"

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

namespace {

// One Exec argument: with reserved characters it goes in double quotes, with ", `, $ and \ escaped;
// % is doubled for the field codes.
QString ExecArgument(const QString& arg) {
  static const QString kReserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=");
  bool quote = false;
  for (const QChar c : arg) quote = quote || kReserved.contains(c);
  QString out;
  for (const QChar c : arg) {
    if (c == QLatin1Char('%')) out += QStringLiteral("%%");
    else if (quote && QStringLiteral("\"`$\\").contains(c)) out += QLatin1Char('\\') + QString(c);
    else out += c;
  }
  return quote ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

}  // namespace

QByteArray AutostartEntryText(const QString& program) {
  QString exec = ExecArgument(program);
  // At log-in neither --home nor $VORLANE_HOME of this session applies: the folder goes along.
  const QString folder = QDir::cleanPath(QFileInfo(vrl::ApplicationFolder()).absoluteFilePath());
  if (folder != QDir::cleanPath(QFileInfo(vrl::DefaultApplicationFolder()).absoluteFilePath()))
    exec += QStringLiteral(" --home ") + ExecArgument(folder);
  // The key's value escapes every backslash once more.
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
