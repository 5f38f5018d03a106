#include "WinMsgProfile.h"

#include "local/LocalMsgSession.h"

#include <QProcess>

namespace qorvconf {

bool OpenWinMsgProfile(const QString& WinMsgProfileName, QString* problem) {
  QString why = localmsg::MaildirProblem(WinMsgProfileName);
  const QString path = localmsg::MaildirPath(WinMsgProfileName);
  if (why.isEmpty() && !QProcess::startDetached(QStringLiteral("xdg-open"), {path}))
    why = QStringLiteral("Cannot start xdg-open to show ") + path;
  if (problem) *problem = why;
  return why.isEmpty();
}

}  // namespace qorvconf
