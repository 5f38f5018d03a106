// vrlmail fetch end to end against a scripted POP3 server.
#include "Pop3TestUtil.h"
#include "ScriptedServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pop3test;
using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

struct FetchRun {
  int exitCode = -1;
  QString out;
  QString err;
};

struct FetchFixture : ::testing::Test {
  QTemporaryDir tmp;
  QString dir;
  QString pwFile;

  void SetUp() override {
    dir = tmp.filePath(QStringLiteral("in"));
    ASSERT_TRUE(QDir().mkpath(dir));
    pwFile = tmp.filePath(QStringLiteral("pw"));
    QFile f(pwFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("s3cret\n");
  }

  FetchRun Fetch(QStringList extra, quint16 port) {
    QStringList args{QStringLiteral("fetch"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--port"), QString::number(port), QStringLiteral("--user"),
                     QStringLiteral("u"), QStringLiteral("--password-file"), pwFile,
                     QStringLiteral("--dir"), dir, QStringLiteral("--timeout"), QStringLiteral("5")};
    args += extra;
    QProcess p;
    p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"), args);
    FetchRun r;
    if (!p.waitForFinished(20000)) {
      p.kill();
      p.waitForFinished();
      ADD_FAILURE() << "vrlmail fetch did not finish";
      return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
  }
};

Scenario Login() {
  Scenario s;
  s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS s3cret").reply("+OK in");
  return s;
}

QByteArray WithAttachment(const QByteArray& subject, const QByteArray& name, const QByteArray& data) {
  return "From: sender@example.org\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
         "--b\r\nContent-Type: application/octet-stream; name=\"" + name +
         "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + data.toBase64() + "\r\n--b--\r\n";
}

TEST_F(FetchFixture, SavesUnderFreeNamesAndDeletesAfterwards) {
  QFile existing(QDir(dir).filePath(QStringLiteral("report.txt")));
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.write("older");
  existing.close();
  ScriptedServer server({Login()
                             .expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR")
                             .expect("RETR 1").send(RetrAnswer(WithAttachment("first", "report.txt", "one")))
                             .expect("DELE 1").reply("+OK")
                             .expect("RETR 2").send(RetrAnswer(WithAttachment("second", "../report.txt", "two")))
                             .expect("DELE 2").reply("+OK")
                             .expect("QUIT").reply("+OK bye")});
  const FetchRun r = Fetch({}, server.port());
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("1\tsender@example.org\tfirst\t1-report.txt\n"
                                  "2\tsender@example.org\tsecond\t2-report.txt\n"));
  EXPECT_EQ(ReadFile(QDir(dir).filePath(QStringLiteral("report.txt"))), QByteArray("older"));
  EXPECT_EQ(ReadFile(QDir(dir).filePath(QStringLiteral("1-report.txt"))), QByteArray("one"));
  EXPECT_EQ(ReadFile(QDir(dir).filePath(QStringLiteral("2-report.txt"))), QByteArray("two"));
  EXPECT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
}

TEST_F(FetchFixture, KeepLeavesMessagesOnTheServer) {
  ScriptedServer server({Login()
                             .expect("STAT").reply("+OK 1 300")
                             .expect("RETR 1").send(RetrAnswer(WithAttachment("kept", "a.bin", "x")))
                             .expect("QUIT").reply("+OK")});
  const FetchRun r = Fetch({QStringLiteral("--keep"), QStringLiteral("--stats")}, server.port());
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("peak_rss_kb="))) << r.err.toStdString();
  EXPECT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
  EXPECT_FALSE(server.received(0).contains("DELE"));
}

TEST_F(FetchFixture, FailureStopsButCommitsWhatWasDone) {
  ScriptedServer server({Login()
                             .expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR")
                             .expect("RETR 1").send(RetrAnswer(WithAttachment("first", "a.bin", "1")))
                             .expect("DELE 1").reply("+OK")
                             .expect("RETR 2").reply("-ERR gone")
                             .expect("QUIT").reply("+OK")});
  const FetchRun r = Fetch({}, server.port());
  EXPECT_EQ(r.exitCode, 5) << "the server refused a command";
  EXPECT_TRUE(r.err.contains(QStringLiteral("Error retrieving message from POP3 server!"))) << r.err.toStdString();
  EXPECT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
}

TEST_F(FetchFixture, ARefusedLoginAndAnUnreachableServerHaveTheirOwnStatus) {
  ScriptedServer server({Scenario().reply("+OK").expect("USER u").reply("+OK").expect("PASS s3cret").reply("-ERR denied")});
  FetchRun r = Fetch({}, server.port());
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_TRUE(r.err.contains(QStringLiteral("denied"))) << r.err.toStdString();
  r = Fetch({}, 1);  // nothing listens on port 1 of the loopback
  EXPECT_EQ(r.exitCode, 3) << r.err.toStdString();
}

TEST_F(FetchFixture, AMessageWithoutAttachmentsIsKeptWholeBeforeItIsDeleted) {
  const QByteArray plain = "From: sender@example.org\r\nSubject: Note/1\r\n\r\nonly text\r\n";
  ScriptedServer server({Login()
                             .expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR")
                             .expect("RETR 1").send(RetrAnswer(plain))
                             .expect("DELE 1").reply("+OK")
                             .expect("RETR 2").send(RetrAnswer(WithAttachment("both", "a.bin", "x")))
                             .expect("DELE 2").reply("+OK")
                             .expect("QUIT").reply("+OK")});
  const FetchRun r = Fetch({QStringLiteral("--raw")}, server.port());
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("1\tsender@example.org\tNote/1\tNote1.eml\n"
                                  "2\tsender@example.org\tboth\ta.bin; both.eml\n"));
  EXPECT_EQ(ReadFile(QDir(dir).filePath(QStringLiteral("Note1.eml"))), plain);
  EXPECT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
}

// Read-ahead: RETR commands go out together when the server offers PIPELINING, one at a time
// when it does not; an -ERR in a batch, a lost connection or an endless answer deletes nothing
// not saved.
TEST_F(FetchFixture, PipeliningKeepsTheAnswersInOrderAndDeletesOnlyWhatIsSaved) {
  const QByteArray m1 = RetrAnswer(WithAttachment("m1", "a.bin", "1"));
  const QByteArray m2 = RetrAnswer(WithAttachment("m2", "b.bin", "2"));
  const QByteArray m3 = RetrAnswer(WithAttachment("m3", "c.bin", "3"));
  auto offered = [](QByteArray n = "3") {
    Scenario s = Login().expect("STAT").reply("+OK " + n + " 900").expect("CAPA")
        .send("+OK\r\nUSER\r\nPIPELINING\r\n.\r\n").expect("LIST").send("+OK\r\n1 300\r\n2 300\r\n3 300\r\n.\r\n");
    for (char i = '1'; i <= n[0]; ++i) s.expect(QByteArray("RETR ") + i);
    return s;
  };
  const struct {
    const char* what;
    Scenario script;
    int exitCode;
    QStringList files;
    bool quit;
    const char* says = "";  // on standard error
  } cases[] = {
      {"offered", offered().send(m1 + m2 + m3).expect("DELE 1").reply("+OK").expect("DELE 2").reply("+OK")
                      .expect("DELE 3").reply("+OK").expect("QUIT").reply("+OK"),
       0, {"a.bin", "b.bin", "c.bin"}, true},
      {"not offered", Login().expect("STAT").reply("+OK 3 900").expect("CAPA").send("+OK\r\nUSER\r\n.\r\n")
                          .expect("RETR 1").send(m1).expect("DELE 1").reply("+OK")
                          .expect("RETR 2").send(m2).expect("DELE 2").reply("+OK")
                          .expect("RETR 3").send(m3).expect("DELE 3").reply("+OK").expect("QUIT").reply("+OK"),
       0, {"a.bin", "b.bin", "c.bin"}, true},
      {"-ERR in the batch", offered().send(m1 + "-ERR no such message\r\n" + m3).expect("DELE 1").reply("+OK")
                                .expect("QUIT").reply("+OK"),
       5, {"a.bin"}, true, "retrieving message 2 failed: Error retrieving message"},
      // A refused DELE is read after the next ones went out; it is reported, the others take effect.
      {"refused DELE", offered("2").send(m1 + m2).expect("DELE 1").reply("-ERR locked").expect("DELE 2").reply("+OK")
                           .expect("QUIT").reply("+OK"),
       5, {"a.bin", "b.bin"}, true, "deleting message 1 failed: Error deleting message from POP3 server!"},
      {"connection lost", offered().send(m1 + m2.left(40)).close(), 3, {"a.bin"}, false},
      // An answer longer than the whole mailbox (900 bytes) still ends the session at its bound.
      {"endless answer", offered().send("+OK\r\n" + QByteArray(1 << 20, 'x')).delay(3000), 3, {}, false,
       "more than the 900 bytes"},
  };
  for (const auto& c : cases) {
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    ScriptedServer server({c.script});
    const FetchRun r = Fetch({}, server.port());
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << c.what << ": " << r.err.toStdString();
    EXPECT_EQ(QDir(dir).entryList(QDir::Files), c.files) << c.what;
    EXPECT_TRUE(server.waitDone(8000)) << c.what;
    if (c.quit) {
      EXPECT_TRUE(server.errors().isEmpty()) << c.what << ": " << server.errors().join(QLatin1Char('\n')).toStdString();
    }
    EXPECT_EQ(server.received(0).contains("QUIT"), c.quit) << c.what;
  }
}

TEST_F(FetchFixture, BadUsageExitsWithTwo) {
  const struct {
    QStringList args;
  } cases[] = {
      {{QStringLiteral("fetch")}},
      {{QStringLiteral("fetch"), QStringLiteral("--host"), QStringLiteral("h"), QStringLiteral("--port"), QStringLiteral("70000"),
        QStringLiteral("--user"), QStringLiteral("u"), QStringLiteral("--password-file"), QStringLiteral("f"),
        QStringLiteral("--dir"), QStringLiteral("d")}},
      {{QStringLiteral("fetch"), QStringLiteral("--bogus")}},
      {{QStringLiteral("fetch"), QStringLiteral("--host")}},
      {{QStringLiteral("fetch"), QStringLiteral("--host=h"), QStringLiteral("--port=0"), QStringLiteral("--user=u"),
        QStringLiteral("--password-file=f"), QStringLiteral("--dir=d")}},
      {{QStringLiteral("fetch"), QStringLiteral("--keep=yes")}},
  };
  for (const auto& c : cases) {
    QProcess p;
    p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"), c.args);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 2) << c.args.join(QLatin1Char(' ')).toStdString();
  }
}

}  // namespace
