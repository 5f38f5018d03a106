// The password command: the secret it yields, and error texts that never carry its output.
#include "PasswordCommand.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/types.h>

namespace {

// Running, as opposed to ended (gone, or a zombie nobody has reaped yet).
bool Running(pid_t pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray s = stat.readAll();
  const qsizetype paren = s.lastIndexOf(')');
  return paren > 0 && s.size() > paren + 2 && s.at(paren + 2) != 'Z' && s.at(paren + 2) != 'X';
}

TEST(PasswordCommandTest, FirstLineOrAReasonWithoutTheOutput) {
  QTemporaryDir tmp;
  const QString pidFile = tmp.filePath(QStringLiteral("pid"));
  const QString savePid = QStringLiteral(" & echo $! >'%1'").arg(pidFile);
  enum Background { kNone, kKilled, kLeftRunning };
  const struct {
    const char* what;
    QString command;
    int timeout;
    const char* secret;  // empty: the call fails
    const char* error;   // part of the error text
    Background background;
  } cases[] = {
      {"first line, CRLF stripped", "printf 'pass word\\r\\nsecond\\r\\n'", 30, "pass word", "", kNone},
      {"first line, LF stripped", "printf 'p\\303\\244ss\\nsecond'", 30, "p\u00e4ss", "", kNone},
      {"no line end", "printf tok", 30, "tok", "", kNone},
      {"failing command", "echo fake-secret-1; echo fake-secret-2 >&2; exit 3", 30, "", "exit status 3", kNone},
      {"no output", "true", 30, "", "no password", kNone},
      {"empty first line", "printf '\\r\\nfake-secret-3\\n'", 30, "", "no password", kNone},
      {"cannot start", "/nonexistent/secret-helper fake-secret-4", 30, "", "exit status 127", kNone},
      // The shell waits for its own child: a time-out must end both, not only the shell.
      {"time-out", "printf fake-secret-5; sleep 5" + savePid + "; wait", 1, "", "within 1 seconds", kKilled},
      // Nothing behind the first line is waited for: the command is stopped, all it started too.
      {"endless writer", "yes", 10, "y", "", kNone},
      {"one line, then sleeps", "echo tok3; sleep 30" + savePid + "; wait", 10, "tok3", "", kKilled},
      {"first line over the limit", "head -c 65537 /dev/zero | tr '\\0' x; echo; sleep 30", 10, "", "longer than 64 KiB",
       kNone},
      // The command is done when the shell ends, though a child it left still holds the output.
      {"ended, output still open", "echo tok2; sleep 30" + savePid, 30, "tok2", "", kLeftRunning},
  };
  for (const auto& c : cases) {
    QFile::remove(pidFile);
    QString secret = QStringLiteral("stale"), error;
    EXPECT_EQ(vrl::RunPasswordCommand(c.command, &secret, &error, c.timeout), *c.secret != '\0') << c.what;
    EXPECT_EQ(secret, QString::fromUtf8(c.secret)) << c.what;
    EXPECT_TRUE(error.contains(QLatin1String(c.error))) << c.what << ": " << error.toStdString();
    EXPECT_FALSE(error.contains(QLatin1String("fake-secret"))) << c.what;
    if (c.background == kNone) continue;
    QFile f(pidFile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << c.what;
    const pid_t pid = f.readAll().trimmed().toInt();
    ASSERT_GT(pid, 1) << c.what;
    if (c.background == kKilled) {
      // SIGKILL lands at once; a child left running would sleep on for seconds.
      for (int i = 0; i < 100 && Running(pid); ++i) QThread::msleep(20);
      EXPECT_FALSE(Running(pid)) << c.what;
    } else {
      EXPECT_TRUE(Running(pid)) << c.what << ": returns without waiting for the output to close";
    }
    if (Running(pid)) ::kill(pid, SIGKILL);
  }
}

}  // namespace
