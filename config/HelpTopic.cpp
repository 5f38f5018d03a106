#include "HelpTopic.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace vrlconf {

QString HelpFolder() {
  const QString env = qEnvironmentVariable("VORLANE_HELP_DIR");
  if (!env.isEmpty()) return env;
  for (const QString& dir : {QStringLiteral(VRL_HELP_INSTALL_DIR), QStringLiteral(VRL_HELP_SOURCE_DIR)})
    if (QFileInfo(dir + QStringLiteral("/index.html")).isFile()) return dir;
  return QStringLiteral(VRL_HELP_INSTALL_DIR);
}

QString HelpPage(const QString& topic) {
  const QString path = QDir(HelpFolder()).filePath(topic + QStringLiteral(".html"));
  return QFileInfo(path).isFile() ? path : QString();
}

void ShowHelpTopic(QWidget* parent, const QString& topic) {
  const QString page = HelpPage(topic);
  if (page.isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
    QMessageBox::information(parent, QStringLiteral("Vorlane Help"),
                             QStringLiteral("The help page \"") + topic + QStringLiteral("\" cannot be shown. The help is in ") +
                                 HelpFolder());
}

}  // namespace vrlconf
