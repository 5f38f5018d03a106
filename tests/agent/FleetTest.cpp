// Leases, fencing and the id journal of a fleet against a private PostgreSQL (root only: the
// server runs as its own account).
#include <gtest/gtest.h>

#include <QProcess>
#include <QSet>
#include <QThread>
#include <unistd.h>

#include "Fleet.h"
#include "IdJournal.h"

namespace {

const QString kScript = QStringLiteral(VRL_SOURCE_DIR "/scripts/pgserver.sh");

struct PgServer {
  QString dir, conninfo, why;
  PgServer() {
    if (::geteuid() != 0) {
      why = QStringLiteral("the private PostgreSQL needs root");
      return;
    }
    QProcess start;
    start.start(QStringLiteral("bash"), {kScript, QStringLiteral("start")});
    start.waitForFinished(60000);
    dir = QString::fromUtf8(start.readAllStandardOutput()).trimmed().section(QLatin1Char('\n'), -1);
    if (start.exitCode() != 0 || dir.isEmpty()) {
      why = QString::fromUtf8(start.readAllStandardError()).trimmed();
      dir.clear();
      return;
    }
    QProcess env;
    env.start(QStringLiteral("bash"), {kScript, QStringLiteral("env"), dir});
    env.waitForFinished(10000);
    for (const QString& line : QString::fromUtf8(env.readAllStandardOutput()).split(QLatin1Char('\n')))
      if (line.startsWith(QLatin1String("VRL_PG_CONNINFO=")))
        conninfo = line.section(QLatin1Char('='), 1).remove(QLatin1Char('\''));
  }
  ~PgServer() {
    if (dir.isEmpty()) return;
    QProcess::execute(QStringLiteral("bash"), {kScript, QStringLiteral("stop"), dir});
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), dir});
  }
};

QSet<QString> Set(const QStringList& l) { return {l.begin(), l.end()}; }

TEST(Fleet, LeasesSpreadFenceAndFailOver) {
  PgServer pg;
  if (pg.conninfo.isEmpty()) GTEST_SKIP() << qPrintable(pg.why);
  const QStringList profiles{"P1", "P2", "P3", "P4"};
  agent::Fleet a(pg.conninfo, 2, "host:/a"), b(pg.conninfo, 2, "host:/b");
  a.Tick(profiles);
  EXPECT_EQ(Set(a.Held()), Set(profiles)) << qPrintable(a.TakeLines().join('\n'));
  b.Tick(profiles);  // nothing free yet
  EXPECT_TRUE(b.Held().isEmpty());
  a.Tick(profiles);  // hands back what is over its share
  b.Tick(profiles);
  ASSERT_EQ(a.Held().size(), 2);
  ASSERT_EQ(b.Held().size(), 2);
  EXPECT_FALSE(Set(a.Held()).intersects(Set(b.Held())));

  const QString p = a.Held().front();
  ASSERT_TRUE(a.Begin(p));
  agent::IdJournal ja;
  ja.UseFleet(&a);
  ASSERT_TRUE(ja.Record("pop3:u@h:110", 100, {{"id1", {}}})) << qPrintable(ja.TakeErrors().join('\n'));

  // A stops renewing: its leases expire and B takes them over under a higher fence.
  QThread::msleep(2300);
  EXPECT_FALSE(a.Check());  // its own clock says the lease ended: the database is asked
  b.Tick(profiles);
  EXPECT_EQ(Set(b.Held()), Set(profiles));
  // A's next write is refused, and A knows it lost the profile.
  EXPECT_FALSE(ja.Record("pop3:u@h:110", 101, {{"id2", {}}}));
  EXPECT_FALSE(a.Held().contains(p));

  ASSERT_TRUE(b.Begin(p));
  agent::IdJournal jb;
  jb.UseFleet(&b);
  EXPECT_EQ(jb.FetchedAt("pop3:u@h:110", "id1"), 100);
  EXPECT_EQ(jb.FetchedAt("pop3:u@h:110", "id2"), -1);
  // Insert only where absent: an id recorded already is not taken twice.
  EXPECT_FALSE(jb.Record("pop3:u@h:110", 102, {{"id1", {}}, {"id3", {}}}));
  jb.Forget("pop3:u@h:110", {"id1"});
  agent::IdJournal fresh;
  fresh.UseFleet(&b);
  EXPECT_EQ(fresh.FetchedAt("pop3:u@h:110", "id1"), -1);
  EXPECT_EQ(fresh.FetchedAt("pop3:u@h:110", "id3"), -1);

  // A restarted agent (same id) takes its own leases back at once; the old run is fenced off.
  agent::Fleet b2(pg.conninfo, 2, "host:/b");
  b2.Tick(profiles);
  EXPECT_EQ(Set(b2.Held()), Set(profiles));
  EXPECT_FALSE(b.Fenced("DELETE FROM vrl_ids WHERE false", {}));
  // An orderly stop hands every lease back at once.
  b2.ReleaseAll();
  a.Tick(profiles);
  EXPECT_EQ(Set(a.Held()), Set(profiles));
}

TEST(Fleet, UnreachableDatabaseSaidOnce) {
  agent::Fleet f(QStringLiteral("host=127.0.0.1 port=1 connect_timeout=2"), 30, "host:/x");
  f.Tick({"P1"});
  const QStringList first = f.TakeLines();
  ASSERT_EQ(first.size(), 1);
  EXPECT_TRUE(first.front().startsWith(QLatin1String("ERROR:"))) << qPrintable(first.front());
  f.Tick({"P1"});
  EXPECT_TRUE(f.TakeLines().isEmpty());
  EXPECT_FALSE(f.Begin("P1"));
}

TEST(Fleet, ConnectionStringGetsSafeDefaults) {
  struct Case {
    const char* in;
    bool tls;  // sslmode=require added
    bool ok;
  } cases[] = {
      {"host=127.0.0.1 dbname=vrl", false, true},
      {"host=/run/postgresql dbname=vrl", false, true},
      {"postgresql://localhost/vrl", false, true},
      {"host=db.example.org dbname=vrl", true, true},
      {"host=localhost,db.example.org", true, true},
      {"host=db.example.org sslmode=disable", false, true},
      {"postgresql://db.example.org/vrl?password=x", true, true},
      {"host='unterminated", false, false},
      {"nosuchkey=1", false, false},
  };
  for (const Case& c : cases) {
    QString error;
    const QByteArray out = fleet::SafeConnInfo(QString::fromLatin1(c.in), &error);
    EXPECT_EQ(!out.isEmpty(), c.ok) << c.in << ": " << qPrintable(error);
    if (!c.ok) continue;
    EXPECT_EQ(out.contains("sslmode='require'") || out.contains("sslmode=require"), c.tls) << c.in << " -> " << out.constData();
    EXPECT_TRUE(out.contains("connect_timeout")) << out.constData();
  }
}

}  // namespace
