#include "OpenConfiguration.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

// The configuration program, beside this one or on PATH. It runs on its own, so the console
// cannot learn whether anything changed.
bool OpenConfiguration(QWidget* parent) {
  QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/VRLCfg31");
  if (!QFileInfo(program).isExecutable()) program = QStandardPaths::findExecutable(QStringLiteral("VRLCfg31"));
  if (program.isEmpty() || !QProcess::startDetached(program, {})) {
    QMessageBox::warning(parent, QStringLiteral("Vorlane"),
                         QStringLiteral("The configuration program VRLCfg31 cannot be started."));
  }
  return false;
}
