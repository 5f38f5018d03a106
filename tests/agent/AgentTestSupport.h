#pragma once
// Shared pieces of the agent tests: a private temporary folder as TMPDIR, a fixed clock, message
// boxes captured instead of shown, and the lines of log files.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "Clock.h"
#include "MessageBox.h"

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace agenttest {

struct Box {
  QString text;
  vrl::MsgBoxIcon icon;
};

class AgentEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    if (qEnvironmentVariableIsSet("TMPDIR")) oldTmp_ = qgetenv("TMPDIR");
    tmp_ = Path("tmp");
    ASSERT_TRUE(QDir().mkpath(tmp_));
    qputenv("TMPDIR", QFile::encodeName(tmp_));
    now_ = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 27));
    vrl::SetNowForTesting([this] { return now_; });
    vrl::SetMessageBoxHandler([this](const QString& text, vrl::MsgBoxIcon icon) { boxes_.push_back({text, icon}); });
  }
  void TearDown() override {
    vrl::SetNowForTesting({});
    vrl::SetMessageBoxHandler({});
    if (oldTmp_) qputenv("TMPDIR", *oldTmp_);
    else qunsetenv("TMPDIR");
  }

  QString Path(const QString& name) const { return dir_.path() + '/' + name; }
  static QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  static void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }
  // Runs a program to its end (bounded): its exit code (-1: it did not end normally), its standard
  // output (merged with its errors when err is null) and its errors.
  static int Run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                 QByteArray* out = nullptr, QByteArray* err = nullptr) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!err) p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000)) p.kill();
    p.waitForFinished();
    if (out) *out = p.readAllStandardOutput();
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }
  // The lines of a log file, without their CR LF; a missing last line end is kept visible.
  static QStringList Lines(const QString& path) {
    QStringList lines = QString::fromUtf8(ReadAll(path)).split("\r\n");
    if (lines.last().isEmpty()) lines.removeLast();
    return lines;
  }
  // The messages of a log file: each line without its time stamp (the separator stays whole).
  static QStringList Messages(const QString& path) {
    QStringList out;
    for (const QString& l : Lines(path)) out << (l.indexOf(" \u00BB ") == 19 ? l.mid(22) : l);
    return out;
  }

  QTemporaryDir dir_;
  QString tmp_;
  std::optional<QByteArray> oldTmp_;
  QDateTime now_;
  std::vector<Box> boxes_;
};

}  // namespace agenttest
