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

FetchRun RunVrlmail(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"), args);
  FetchRun r;
  if (!p.waitForFinished(20000)) {
    p.kill();
    p.waitForFinished();
    ADD_FAILURE() << "vrlmail did not finish";
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

struct FetchFixture : ::testing::Test {
  QTemporaryDir tmp;
  QString dir = tmp.filePath(QStringLiteral("in"));
  QString pwFile = tmp.filePath(QStringLiteral("pw"));

  void SetUp() override {
    ASSERT_TRUE(QDir().mkpath(dir));
    QFile f(pwFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("s3cret\n");
  }
  FetchRun Fetch(quint16 port, const QStringList& extra = {}) {
    return RunVrlmail(QStringList{QStringLiteral("fetch"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                           QStringLiteral("--port"), QString::number(port), QStringLiteral("--user"),
                           QStringLiteral("u"), QStringLiteral("--password-file"), pwFile, QStringLiteral("--dir"),
                           dir, QStringLiteral("--timeout"), QStringLiteral("5")} + extra);
  }
  QByteArray Saved(const char* name) { return ReadFile(QDir(dir).filePath(QString::fromUtf8(name))); }
};

Scenario Login() {
  Scenario s;
  s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS s3cret").reply("+OK in");
  return s;
}

QByteArray WithAttachment(const QByteArray& subject, const QByteArray& name, const QByteArray& data) {
  return RetrAnswer("From: sender@example.org\r\nSubject: " + subject +
                    "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                    "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
                    "--b\r\nContent-Type: application/octet-stream; name=\"" + name +
                    "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + data.toBase64() + "\r\n--b--\r\n");
}

TEST_F(FetchFixture, SavesDeletesAndTellsTheOutcomeByItsExitStatus) {
  // One folder for all cases, with a file of the first case's name already there.
  QFile existing(QDir(dir).filePath(QStringLiteral("report.txt")));
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.write("older");
  existing.close();
  const QByteArray plain = "From: sender@example.org\r\nSubject: Note/1\r\n\r\nonly text\r\n";
  const struct {
    const char* name;
    Scenario script;
    QStringList extra;
    int exit;
    QString out;  // null: not compared
    std::vector<std::pair<const char*, QByteArray>> files;
    const char* err;
  } cases[] = {
      {"free names, each message deleted once saved",
       Login().expect("STAT").reply("+OK 2 600").expect("RETR 1").send(WithAttachment("first", "report.txt", "one"))
           .expect("DELE 1").reply("+OK").expect("RETR 2").send(WithAttachment("second", "../report.txt", "two"))
           .expect("DELE 2").reply("+OK").expect("QUIT").reply("+OK bye"),
       {}, 0, "1\tsender@example.org\tfirst\t1-report.txt\n2\tsender@example.org\tsecond\t2-report.txt\n",
       {{"report.txt", "older"}, {"1-report.txt", "one"}, {"2-report.txt", "two"}}, ""},
      {"--raw keeps a message without attachments whole, --keep deletes nothing",
       Login().expect("STAT").reply("+OK 2 600").expect("RETR 1").send(RetrAnswer(plain))
           .expect("RETR 2").send(WithAttachment("both", "a.bin", "x")).expect("QUIT").reply("+OK"),
       {"--raw", "--keep", "--stats"}, 0,
       "1\tsender@example.org\tNote/1\tNote1.eml\n2\tsender@example.org\tboth\ta.bin; both.eml\n",
       {{"Note1.eml", plain}}, "peak_rss_kb="},
      {"a refused command stops, and QUIT commits what was done",
       Login().expect("STAT").reply("+OK 2 600").expect("RETR 1").send(WithAttachment("first", "a.bin", "1"))
           .expect("DELE 1").reply("+OK").expect("RETR 2").reply("-ERR gone").expect("QUIT").reply("+OK"),
       {}, 5, QString(), {}, "Error retrieving message from POP3 server!"},
      {"refused login", Scenario().reply("+OK").expect("USER u").reply("+OK").expect("PASS s3cret").reply("-ERR denied"),
       {}, 4, "", {}, "denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({c.script});
    const FetchRun r = Fetch(server.port(), c.extra);
    EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
    EXPECT_TRUE(c.out.isNull() || r.out == c.out) << r.out.toStdString();
    for (const auto& [name, content] : c.files) EXPECT_EQ(Saved(name), content) << name;
    EXPECT_TRUE(r.err.contains(QLatin1String(c.err))) << r.err.toStdString();
    EXPECT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
  }
}

TEST_F(FetchFixture, UnreachableServerAndBadUsage) {
  EXPECT_EQ(Fetch(1).exitCode, 3);  // nothing listens on port 1 of the loopback
  for (const char* args : {"fetch", "fetch --host h --port 70000 --user u --password-file f --dir d", "fetch --bogus",
                           "fetch --keep=yes"})
    EXPECT_EQ(RunVrlmail(QString::fromLatin1(args).split(QLatin1Char(' '))).exitCode, 2) << args;
}

}  // namespace
