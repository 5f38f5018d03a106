// The figures for monitoring: the exposition of a health record, checked line by line against the
// text format's grammar (and by promtool when it is installed), whatever the profile names hold;
// the outbound counts; the rule for a MetricsFile path.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

#include "Metrics.h"

namespace {

// The problems of a text by the exposition format: every line a HELP, a TYPE or a sample of the
// family they name; every family once, together, with its HELP and TYPE before its samples; no
// series twice; a line end behind the last line. Label values come back unescaped in `values`.
QStringList Problems(const QByteArray& text, QStringList* values = nullptr) {
  static const QRegularExpression help(R"(^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (?:[^\\]|\\[\\n])*$)");
  static const QRegularExpression type(R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$)");
  static const QRegularExpression sample(
      R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")"
      R"((?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? (-?[0-9]+(?:\.[0-9]+)?(?:e[+-]?[0-9]+)?|[+-]Inf|NaN)$)");
  static const QRegularExpression label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)\")");
  QStringList problems;
  if (!text.isEmpty() && !text.endsWith('\n')) problems << "no line end behind the last line";
  QString family;
  QSet<QString> done, series, helped, typed;
  const QList<QByteArray> lines = text.split('\n');
  for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
    const QString line = QString::fromUtf8(lines[i]);
    const QString at = QString("line %1: ").arg(i + 1);
    QString name;
    if (const auto m = help.match(line); m.hasMatch()) {
      name = m.captured(1);
      if (helped.contains(name) || typed.contains(name)) problems << at + "HELP after the family began";
      helped << name;
    } else if (const auto t = type.match(line); t.hasMatch()) {
      name = t.captured(1);
      if (typed.contains(name)) problems << at + "TYPE twice";
      typed << name;
    } else if (const auto s = sample.match(line); s.hasMatch()) {
      name = s.captured(1);
      if (!helped.contains(name) || !typed.contains(name)) problems << at + "a sample before its HELP and TYPE";
      if (series.contains(name + s.captured(2))) problems << at + "a series twice";
      series << name + s.captured(2);
      for (auto l = label.globalMatch(s.captured(2)); values && l.hasNext();) {
        const QString v = l.next().captured(2);
        QString plain;
        for (qsizetype k = 0; k < v.size(); ++k) plain += v[k] != '\\' ? v[k] : v[++k] == 'n' ? QChar('\n') : v[k];
        *values << plain;
      }
    } else {
      problems << at + "not a line of the format: " + line;
      continue;
    }
    if (name != family) {
      if (done.contains(name)) problems << at + "the family " + name + " again";
      done << family;
      family = name;
    }
  }
  if (helped != typed) problems << "a family without HELP or TYPE";
  return problems;
}

QJsonObject Health(const char* json) { return QJsonDocument::fromJson(json).object(); }

TEST(Metrics, TheExpositionOfAHealthRecord) {
  const QJsonObject health = Health(R"({
    "lastCycle": "2026-12-06T14:03:27+01:00", "agentStart": "2026-12-06T14:00:00+01:00",
    "profiles": {
      "Orders": {"lastCycle": "2026-12-06T14:03:27+01:00", "sent": 1, "errors": 2,
                 "total": {"sent": 57, "retried": 3, "bad": 1, "received": 40, "errors": 5},
                 "lastError": "x", "lastErrorTime": "2026-12-06T14:03:20+01:00",
                 "oauth": {"state": "sign in again", "works": false, "renewed": "2026-12-06T13:58:02+01:00"}},
      "Invoices": {"lastCycle": "2026-12-06T14:03:27+01:00", "total": {"sent": 2}}}})");
  const QByteArray expected = R"(# HELP vorlane_build_info The version of the agent's programs.
# TYPE vorlane_build_info gauge
vorlane_build_info{version=")" VRL_VERSION R"("} 1
# HELP vorlane_agent_start_time_seconds When the agent last started processing, in seconds since the epoch.
# TYPE vorlane_agent_start_time_seconds gauge
vorlane_agent_start_time_seconds 1796562000
# HELP vorlane_files_sent_total Outbound files sent.
# TYPE vorlane_files_sent_total counter
vorlane_files_sent_total{profile="Invoices"} 2
vorlane_files_sent_total{profile="Orders"} 57
# HELP vorlane_files_retried_total Outbound files kept for a later cycle after a failure that may pass.
# TYPE vorlane_files_retried_total counter
vorlane_files_retried_total{profile="Invoices"} 0
vorlane_files_retried_total{profile="Orders"} 3
# HELP vorlane_files_bad_total Outbound files renamed .BAD after a failure.
# TYPE vorlane_files_bad_total counter
vorlane_files_bad_total{profile="Invoices"} 0
vorlane_files_bad_total{profile="Orders"} 1
# HELP vorlane_messages_received_total Inbound messages whose files were written.
# TYPE vorlane_messages_received_total counter
vorlane_messages_received_total{profile="Invoices"} 0
vorlane_messages_received_total{profile="Orders"} 40
# HELP vorlane_errors_total Error lines logged for the profile.
# TYPE vorlane_errors_total counter
vorlane_errors_total{profile="Invoices"} 0
vorlane_errors_total{profile="Orders"} 5
# HELP vorlane_last_cycle_timestamp_seconds When the last cycle the profile took part in began, in seconds since the epoch.
# TYPE vorlane_last_cycle_timestamp_seconds gauge
vorlane_last_cycle_timestamp_seconds{profile="Invoices"} 1796562207
vorlane_last_cycle_timestamp_seconds{profile="Orders"} 1796562207
# HELP vorlane_last_error_timestamp_seconds When the profile last logged an error, in seconds since the epoch; 0 for never.
# TYPE vorlane_last_error_timestamp_seconds gauge
vorlane_last_error_timestamp_seconds{profile="Invoices"} 0
vorlane_last_error_timestamp_seconds{profile="Orders"} 1796562200
# HELP vorlane_outbound_queue_files Files waiting in the profile's outbound folder.
# TYPE vorlane_outbound_queue_files gauge
vorlane_outbound_queue_files{profile="Orders"} 3
# HELP vorlane_oauth_token_state The OAuth sign-in of the profile: 1 for its present state.
# TYPE vorlane_oauth_token_state gauge
vorlane_oauth_token_state{profile="Orders",state="signed in"} 0
vorlane_oauth_token_state{profile="Orders",state="sign in again"} 1
vorlane_oauth_token_state{profile="Orders",state="not renewed"} 0
)";
  const QByteArray text = metrics::Format(health, {{"Orders", 3}, {"Gone", 9}});
  EXPECT_EQ(text.toStdString(), expected.toStdString());
  EXPECT_EQ(Problems(text), QStringList{});
  // Without profiles or a running agent, only what is known: the build.
  EXPECT_EQ(metrics::Format({}, {}), expected.left(expected.indexOf("# HELP vorlane_agent_start")));
}

TEST(Metrics, AProfileNameNeverBreaksALineOrAddsASeries) {
  const QString names[] = {"quo\"te", "back\\slash", "new\nline", "\"} 1\nvorlane_errors_total{profile=\"x",
                           "\\\"\\n", "Büro € 😀", "tab\tcr\r", "end\\"};
  QJsonObject profiles;
  QHash<QString, qint64> outbound;
  for (const QString& n : names) {
    profiles.insert(n, QJsonObject{{"oauth", QJsonObject{{"state", "signed in"}}}});
    outbound.insert(n, 1);
  }
  const QByteArray text = metrics::Format(QJsonObject{{"profiles", profiles}}, outbound);
  QStringList values;
  EXPECT_EQ(Problems(text, &values), QStringList{}) << text.constData();
  // Eight families of one series per profile, and three states each.
  EXPECT_EQ(text.count("\nvorlane_"), qsizetype(1 + std::size(names) * (8 + 3)));
  for (const QString& n : names) EXPECT_EQ(values.count(n), 8 + 3) << n.toStdString();
  EXPECT_EQ(metrics::EscapeLabelValue("a\"b\\c\nd\re"), QByteArray("a\\\"b\\\\c\\nd\re"));
}

TEST(Metrics, PromtoolAcceptsTheExposition) {
  const QString promtool = QStandardPaths::findExecutable("promtool");
  if (promtool.isEmpty()) GTEST_SKIP() << "promtool is not installed";
  const QJsonObject health = Health(R"({"agentStart": "2026-12-06T14:00:00+01:00", "profiles": {
      "Or\"d\\ers\n": {"lastCycle": "2026-12-06T14:03:27+01:00", "total": {"sent": 5},
                       "oauth": {"state": "not renewed"}}}})");
  QProcess p;
  p.start(promtool, {"check", "metrics"});  // the format and its lint rules (names, HELP, _total)
  ASSERT_TRUE(p.waitForStarted(10000));
  p.write(metrics::Format(health, {{"Or\"d\\ers\n", 2}}));
  p.closeWriteChannel();
  if (!p.waitForFinished(30000)) p.kill();
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().constData() << p.readAllStandardError().constData();
}

TEST(Metrics, OutboundCountsTakeWhatTheAgentWouldSend) {
  QTemporaryDir dir;
  const QString out = dir.path() + "/out";
  ASSERT_TRUE(QDir().mkpath(out + "/D.TXT"));  // a folder is no file
  for (const char* name : {"A.TXT", "b.txt", ".hidden.TXT", "C.BAD", "g.csv"}) {
    QFile f(out + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  ASSERT_EQ(::symlink("A.TXT", QFile::encodeName(out + "/E.TXT").constData()), 0);
  ASSERT_EQ(::symlink("gone", QFile::encodeName(out + "/F.TXT").constData()), 0);
  const struct {
    QString folder, pattern;
    qint64 count;
  } cases[] = {{out, "*.TXT", 3}, {out, "*.TXT; *.CSV", 4}, {out, "", 5}, {out, "*.INF", 0},
               {dir.path() + "/none", "*.TXT", -1}, {"", "*.TXT", -1}};
  for (const auto& c : cases)
    EXPECT_EQ(metrics::CountOutboundFiles(c.folder, c.pattern), c.count) << c.folder.toStdString() << " " << c.pattern.toStdString();

  ProfileRecord sends, idle, twin;
  sends.Prfname = twin.Prfname = "Orders", idle.Prfname = "Idle";
  sends.PrcOutboundMessages = twin.PrcOutboundMessages = true;
  sends.OutboundDir = idle.OutboundDir = twin.OutboundDir = out;
  sends.OutFilesExtention = "*.TXT", twin.OutFilesExtention = "*.csv";
  EXPECT_EQ(metrics::OutboundQueues({sends, idle, twin}), (QHash<QString, qint64>{{"Orders", 4}}));
}

TEST(Metrics, WhatAMetricsFilePathMayBe) {
  const struct {
    QString path;
    const char* problem;
  } cases[] = {
      {"", ""},
      {"/var/lib/prometheus/node-exporter/vorlane.prom", ""},
      {"/" + QString(1023, 'm'), ""},
      {"/" + QString(341, u'€'), ""},
      {"/" + QString(342, u'€'), "must be at most 1024 bytes (UTF-8), not 1027"},
      {"/" + QString(1024, 'm'), "must be at most 1024 bytes (UTF-8), not 1025"},
      {"vorlane.prom", "must be an absolute path (starting with / or ~/)"},
      {"~/vorlane.prom", "must be an absolute path (starting with / or ~/)"},
      {"/srv/a\nb.prom", "must not hold control characters"},
      {"/srv/\tvorlane.prom", "must not hold control characters"},
      {"/srv/metrics/", "must name a file, not a folder"},
  };
  for (const auto& c : cases) EXPECT_EQ(metrics::PathProblem(c.path), c.problem) << c.path.left(40).toStdString();
}

}  // namespace
