#pragma once
// Shared pieces of the agent tests: a private temporary folder as TMPDIR, a fixed clock, and
// message boxes captured instead of printed.
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <utility>
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
    oldTmp_ = qgetenv("TMPDIR");
    hadTmp_ = qEnvironmentVariableIsSet("TMPDIR");
    tmp_ = dir_.path() + QStringLiteral("/tmp");
    ASSERT_TRUE(QDir().mkpath(tmp_));
    qputenv("TMPDIR", QFile::encodeName(tmp_));
    now_ = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 27));
    vrl::SetNowForTesting([this] { return now_; });
    vrl::SetMessageBoxHandler(
        [this](const QString& text, vrl::MsgBoxIcon icon) { boxes_.push_back({text, icon}); });
  }
  void TearDown() override {
    vrl::SetNowForTesting({});
    vrl::SetMessageBoxHandler({});
    if (hadTmp_) qputenv("TMPDIR", oldTmp_);
    else qunsetenv("TMPDIR");
  }

  QString Path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }

  static QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
  }
  // The lines of a log file, without their CR LF; a missing last line end is kept visible.
  static QStringList Lines(const QString& path) {
    QString text = QString::fromUtf8(ReadAll(path));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
  }
  // The messages of a log file: each line without its time stamp (the separator stays whole).
  static QStringList Messages(const QString& path) {
    QStringList out;
    for (const QString& l : Lines(path)) {
      const int at = l.indexOf(QStringLiteral(" \u00BB "));
      out << (at == 19 ? l.mid(22) : l);
    }
    return out;
  }

  QTemporaryDir dir_;
  QString tmp_;
  QByteArray oldTmp_;
  bool hadTmp_ = false;
  QDateTime now_;
  std::vector<Box> boxes_;
};

}  // namespace agenttest
