#include "PasswordCommand.h"

#include "EventWait.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vrl {
namespace {

// After its first line a command normally ends at once; one that does not is stopped (it may
// be a "yes", or a helper that lingers), so that nothing beyond the line is ever read.
constexpr int kGraceMs = 2000;
constexpr int kTerminateMs = 1000;

enum class Got { More, Line, End };

// Appends what the pipe holds, never more than one byte over the cap. Line: the first line is
// complete or the cap is passed, so nothing more is wanted.
Got ReadAvailable(int fd, QByteArray& out) {
  char buf[4096];
  while (out.size() <= kPasswordCommandMaxBytes) {
    const qsizetype room = kPasswordCommandMaxBytes + 1 - out.size();
    const ssize_t n = ::read(fd, buf, size_t(std::min<qsizetype>(sizeof buf, room)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN ? Got::More : Got::End;
    if (n == 0) return Got::End;
    out.append(buf, n);
    if (std::memchr(buf, '\n', size_t(n))) return Got::Line;
  }
  return Got::Line;
}

void KillGroup(const QProcess& p, int signal) {
  if (const qint64 pid = p.processId(); pid > 0) ::kill(-static_cast<pid_t>(pid), signal);
}

}  // namespace

bool RunPasswordCommand(const QString& command, QString* secret, QString* error, int timeoutSeconds) {
  secret->clear();
  // Standard output comes through a pipe of our own, read only up to the first line: QProcess
  // would take in all a command writes.
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = QStringLiteral("The password command could not be started");
    return false;
  }
  const int readFd = pipeFds[0], writeFd = pipeFds[1];
  // Only our end waits for nothing; the command's writes block on a full pipe, which holds it.
  ::fcntl(readFd, F_SETFL, O_NONBLOCK);
  QProcess p;
  // Its error output goes to the log's neighbour, the terminal, never into our texts.
  p.setProcessChannelMode(QProcess::ForwardedChannels);
  p.setStandardInputFile(QProcess::nullDevice());
  // Its own process group, so that a time-out ends everything it started (a pipeline, a helper
  // the shell waits for), not only the shell.
  p.setChildProcessModifier([writeFd] {
    ::setpgid(0, 0);
    ::dup2(writeFd, STDOUT_FILENO);
  });
  p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
  ::close(writeFd);
  QByteArray out;
  bool lineDone = false;
  QSocketNotifier notifier(readFd, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    if (ReadAvailable(readFd, out) == Got::More) return;
    lineDone = true;
    notifier.setEnabled(false);
  });
  QElapsedTimer clock;
  clock.start();
  const auto ended = [&] { return p.state() == QProcess::NotRunning; };
  // The event loop keeps running meanwhile: the agent stays responsive to its controls.
  auto r = EventWait::Until([&] { return ended() || lineDone; }, {}, timeoutSeconds * 1000);
  bool stopped = false;
  if (r == EventWait::Done && !ended()) {
    const int left = std::max<int>(0, timeoutSeconds * 1000 - int(clock.elapsed()));
    if (EventWait::Until(ended, {}, std::min(kGraceMs, left)) != EventWait::Done) {
      stopped = true;
      KillGroup(p, SIGTERM);
      if (EventWait::Until(ended, {}, kTerminateMs) != EventWait::Done) KillGroup(p, SIGKILL);
    }
  }
  notifier.setEnabled(false);
  // What came just before the end is still in the pipe.
  if (!lineDone && ended()) ReadAvailable(readFd, out);
  ::close(readFd);
  if (p.error() == QProcess::FailedToStart) {
    *error = QStringLiteral("The password command could not be started");
    return false;
  }
  if (r != EventWait::Done) {
    KillGroup(p, SIGKILL);
    p.kill();
    p.waitForFinished(1000);
    *error = QStringLiteral("The password command did not finish within %1 seconds").arg(timeoutSeconds);
    return false;
  }
  if (stopped) {
    p.kill();
    p.waitForFinished(1000);
  } else if (p.exitStatus() != QProcess::NormalExit) {
    *error = QStringLiteral("The password command ended abnormally");
    return false;
  } else if (p.exitCode() != 0) {
    *error = QStringLiteral("The password command failed with exit status %1").arg(p.exitCode());
    return false;
  }
  const qsizetype nl = out.indexOf('\n');
  if (nl < 0 && out.size() > kPasswordCommandMaxBytes) {
    *error = QStringLiteral("The password command printed a first line longer than %1 KiB")
                 .arg(kPasswordCommandMaxBytes / 1024);
    return false;
  }
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
