#include "PasswordCommand.h"

#include "EventWait.h"

#include <QProcess>

#include <csignal>
#include <unistd.h>

namespace vrl {

bool RunPasswordCommand(const QString& command, QString* secret, QString* error, int timeoutSeconds) {
  secret->clear();
  QProcess p;
  // Its error output goes to the log's neighbour, the terminal, never into our texts.
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.setStandardInputFile(QProcess::nullDevice());
  // Its own process group, so that a time-out ends everything it started (a pipeline, a helper
  // the shell waits for), not only the shell.
  p.setChildProcessModifier([] { ::setpgid(0, 0); });
  p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
  // The event loop keeps running meanwhile: the agent stays responsive to its controls.
  const auto r = EventWait::Until([&] { return p.state() == QProcess::NotRunning; }, {}, timeoutSeconds * 1000);
  if (p.error() == QProcess::FailedToStart) {
    *error = QStringLiteral("The password command could not be started");
    return false;
  }
  if (r != EventWait::Done) {
    if (const qint64 pid = p.processId(); pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
    p.kill();
    p.waitForFinished(1000);
    *error = QStringLiteral("The password command did not finish within %1 seconds").arg(timeoutSeconds);
    return false;
  }
  if (p.exitStatus() != QProcess::NormalExit) {
    *error = QStringLiteral("The password command ended abnormally");
    return false;
  }
  if (p.exitCode() != 0) {
    *error = QStringLiteral("The password command failed with exit status %1").arg(p.exitCode());
    return false;
  }
  QByteArray out = p.readAllStandardOutput();
  const qsizetype nl = out.indexOf('\n');
  if (nl >= 0) out.truncate(nl);
  if (out.endsWith('\r')) out.chop(1);
  if (out.isEmpty()) {
    *error = QStringLiteral("The password command printed no password");
    return false;
  }
  *secret = QString::fromUtf8(out);
  return true;
}

}  // namespace vrl
