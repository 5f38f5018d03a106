// vrlmail fetch end to end against a scripted POP3 server.
#include "Pop3TestUtil.h"
#include "ScriptedServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace pop3test;
using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

struct FetchRun {
  int exitCode = -1;
  QString out;
  QString err;
};

// addressSpace: the child's RLIMIT_AS in bytes (0: none).
FetchRun RunVrlmail(const QStringList& args, rlim_t addressSpace = 0) {
  QProcess p;
  if (addressSpace)
    p.setChildProcessModifier([addressSpace] {
      const rlimit cap{addressSpace, addressSpace};
      if (::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(99);
    });
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
  FetchRun Fetch(quint16 port, const QStringList& extra = {}, rlim_t addressSpace = 0) {
    return RunVrlmail(QStringList{QStringLiteral("fetch"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                           QStringLiteral("--port"), QString::number(port), QStringLiteral("--user"),
                           QStringLiteral("u"), QStringLiteral("--password-file"), pwFile, QStringLiteral("--dir"),
                           dir, QStringLiteral("--timeout"), QStringLiteral("5"), QStringLiteral("--security"),
                           QStringLiteral("none")} + extra, addressSpace);
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
       Login().expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR").expect("RETR 1").send(WithAttachment("first", "report.txt", "one"))
           .expect("DELE 1").reply("+OK").expect("RETR 2").send(WithAttachment("second", "../report.txt", "two"))
           .expect("DELE 2").reply("+OK").expect("QUIT").reply("+OK bye"),
       {}, 0, "1\tsender@example.org\tfirst\t1-report.txt\n2\tsender@example.org\tsecond\t2-report.txt\n",
       {{"report.txt", "older"}, {"1-report.txt", "one"}, {"2-report.txt", "two"}}, ""},
      {"--raw keeps a message without attachments whole, --keep deletes nothing",
       Login().expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR").expect("RETR 1").send(RetrAnswer(plain))
           .expect("RETR 2").send(WithAttachment("both", "a.bin", "x")).expect("QUIT").reply("+OK"),
       {"--raw", "--keep", "--stats"}, 0,
       "1\tsender@example.org\tNote/1\tNote1.eml\n2\tsender@example.org\tboth\ta.bin; both.eml\n",
       {{"Note1.eml", plain}}, "peak_rss_kb="},
      {"a refused command stops, and QUIT commits what was done",
       Login().expect("STAT").reply("+OK 2 600").expect("CAPA").reply("-ERR").expect("RETR 1").send(WithAttachment("first", "a.bin", "1"))
           .expect("DELE 1").reply("+OK").expect("RETR 2").reply("-ERR gone").expect("QUIT").reply("+OK"),
       {}, 5, QString(), {}, "Error retrieving message from POP3 server!"},
      {"refused login", Scenario().reply("+OK").expect("USER u").reply("+OK").expect("PASS s3cret").reply("-ERR denied"),
       {}, 4, "", {}, "denied"},
      {"a folder of the attachment's name is left as it is",
       Login().expect("STAT").reply("+OK 1 600").expect("RETR 1").send(WithAttachment("dir", "x.bin", "x"))
           .expect("DELE 1").reply("+OK").expect("QUIT").reply("+OK"),
       {}, 0, "1\tsender@example.org\tdir\t1-x.bin\n", {{"1-x.bin", "x"}}, ""},
      {"a refused STAT is no empty mailbox", Login().expect("STAT").reply("-ERR mailbox locked").expect("QUIT").reply("+OK"),
       {}, 5, "", {}, "mailbox locked"},
  };
  ASSERT_TRUE(QDir(dir).mkpath(QStringLiteral("x.bin")));
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
  EXPECT_EQ(QDir(dir).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden), QStringList{}) << "nothing staged is left";
}

TEST_F(FetchFixture, UnreachableServerAndBadUsage) {
  EXPECT_EQ(Fetch(1).exitCode, 3);  // nothing listens on port 1 of the loopback
  for (const char* args : {"fetch", "fetch --host h --port 70000 --user u --password-file f --dir d", "fetch --bogus",
                           "fetch --keep=yes"})
    EXPECT_EQ(RunVrlmail(QString::fromLatin1(args).split(QLatin1Char(' '))).exitCode, 2) << args;
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
      // QUIT goes behind the DELEs: the server answers nothing until it has them all.
      {"offered", offered().send(m1 + m2 + m3).expect("DELE 1").expect("DELE 2").expect("DELE 3").expect("QUIT")
                      .send("+OK\r\n+OK\r\n+OK\r\n+OK bye\r\n"),
       0, {"a.bin", "b.bin", "c.bin"}, true},
      {"QUIT unanswered", offered().send(m1 + m2 + m3).expect("DELE 1").expect("DELE 2").expect("DELE 3")
                              .expect("QUIT").send("+OK\r\n+OK\r\n+OK\r\n").close(),
       0, {"a.bin", "b.bin", "c.bin"}, true},
      {"QUIT refused", offered().send(m1 + m2 + m3).expect("DELE 1").expect("DELE 2").expect("DELE 3")
                           .expect("QUIT").send("+OK\r\n+OK\r\n+OK\r\n-ERR cannot commit\r\n"),
       3, {"a.bin", "b.bin", "c.bin"}, true, "cannot commit"},
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
    const FetchRun r = Fetch(server.port(), {});
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

#if !defined(__SANITIZE_ADDRESS__)
// A large message of any shape costs about twice its size: each is fetched with the address space
// capped at the idle program's plus twice the message plus 32 MiB, and must be saved whole.
TEST_F(FetchFixture, LargeMessagesOfEveryShapeFitInTwiceTheirSize) {
  // What the program maps before any message: read while it waits for the greeting.
  qint64 idleKb = 0;
  {
    ScriptedServer server({Scenario().delay(5000).close()});
    QProcess p;
    p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"),
            {"fetch", "--host", "127.0.0.1", "--port", QString::number(server.port()), "--user", "u",
             "--password-file", pwFile, "--dir", dir, "--security", "none"});
    ASSERT_TRUE(p.waitForStarted());
    // Read once it waits for the greeting: started whole, however loaded the machine.
    for (int i = 0; i < 100 && server.connectionsAccepted() == 0; ++i) QThread::msleep(50);
    QThread::msleep(100);
    QFile status(QStringLiteral("/proc/%1/status").arg(p.processId()));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    for (const QByteArray& line : status.readAll().split('\n'))
      if (line.startsWith("VmPeak:")) idleKb = line.mid(7).trimmed().split(' ').value(0).toLongLong();
    p.kill();
    p.waitForFinished(5000);
  }
  ASSERT_GT(idleKb, 0);

  constexpr qsizetype kSize = 16 << 20;
  const QByteArray head = "From: a@example.org\r\nSubject: big\r\n";
  auto fill = [](const QByteArray& unit) { return unit.repeated(kSize / unit.size()); };
  const QByteArray bytes = fill(QByteArray("\x01\xFF\x80\x00 binary", 11));
  const struct {
    const char* shape;
    QByteArray message;
    const char* file;
    qsizetype fileSize;  // -1: the message's
  } cases[] = {
      {"plain text", head + "\r\n" + fill("plain text line of seventy characters, more or less, ending here\r\n"), "big.eml", -1},
      {"Latin-1 text with bare LF", head + "Content-Type: text/plain\r\n\r\n" + fill("caf\xE9 au lait\n") + "\r\n", "big.eml", -1},
      {"quoted-printable Latin-1",
       head + "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           fill("caf=E9 caf=E9 caf=E9=\r\n"), "big.eml", -1},
      {"HTML", head + "Content-Type: text/html\r\n\r\n" + fill("<p>paragraph</p>\r\n"), "big.eml", -1},
      {"folded subject", "From: a@example.org\r\nSubject: " + fill("long subject, folded\r\n ") + "end\r\n\r\nx\r\n", nullptr, -1},
      {"long header", head + "X-Long: " + fill("a folded header field\r\n ") + "end\r\n\r\nx\r\n", "big.eml", -1},
      {"base64 attachment",
       head + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/octet-stream; "
              "name=a.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n" + bytes.toBase64() + "\r\n--b--\r\n",
       "a.bin", bytes.size()},
  };
  for (const auto& c : cases) {
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    const QByteArray answer = RetrAnswer(c.message);
    ScriptedServer server({Login().expect("STAT").reply("+OK 1 " + QByteArray::number(answer.size()))
                               .expect("RETR 1").send(answer)
                               .expect("QUIT").reply("+OK")});
    // The constant holds the socket's read buffers (up to 8 MiB a wake), which a loaded machine fills.
    const rlim_t cap = rlim_t(idleKb) * 1024 + rlim_t(c.message.size()) * 2 + (32 << 20);
    const FetchRun r = Fetch(server.port(), {"--keep", "--timeout", "60"}, getenv("NOCAP") ? 0 : cap);
    EXPECT_EQ(r.exitCode, 0) << c.shape << ": " << r.err.toStdString();
    EXPECT_TRUE(server.waitDone(5000)) << c.shape;
    EXPECT_TRUE(server.errors().isEmpty()) << c.shape << ": " << server.errors().join(QLatin1Char('\n')).toStdString();
    const QStringList files = QDir(dir).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << c.shape;
    if (c.file) {
      EXPECT_EQ(files[0], QLatin1String(c.file)) << c.shape;
    }
    EXPECT_EQ(QFileInfo(QDir(dir).filePath(files[0])).size(), c.fileSize < 0 ? c.message.size() : c.fileSize)
        << c.shape;
  }
}
#endif

}  // namespace
