// vrlmail send from the outside: exit codes, the printed events, --count over one connection,
// authentication from a password file.
#include "SmtpTestUtil.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

struct ToolRun {
  int exitCode = -1;
  QString out;
};

ToolRun Vrlmail(const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"), QStringList{QStringLiteral("send")} + args);
  ToolRun r;
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  r.out = QString::fromUtf8(p.readAll());
  return r;
}

QStringList Base(uint16_t port) {
  return {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(port),
          QStringLiteral("--from"), QStringLiteral("sender@example.com"), QStringLiteral("--to"),
          QStringLiteral("bob@example.com"), QStringLiteral("--timeout"), QStringLiteral("5")};
}

TEST(VrlmailSend, BadUsageExitsWithTwo) {
  const QStringList cases[] = {
      {},
      {QStringLiteral("--host"), QStringLiteral("127.0.0.1")},
      {QStringLiteral("--bogus")},
      {QStringLiteral("--host"), QStringLiteral("h"), QStringLiteral("--from"), QStringLiteral("a@b.com"),
       QStringLiteral("--to"), QStringLiteral("c@d.com"), QStringLiteral("--port"), QStringLiteral("x")},
      {QStringLiteral("--host"), QStringLiteral("h"), QStringLiteral("--from"), QStringLiteral("a@b.com"),
       QStringLiteral("--to"), QStringLiteral("c@d.com"), QStringLiteral("--count"), QStringLiteral("0")},
      {QStringLiteral("--host"), QStringLiteral("h"), QStringLiteral("--from"), QStringLiteral("a@b.com"),
       QStringLiteral("--to"), QStringLiteral("c@d.com"), QStringLiteral("--user"), QStringLiteral("u")},
      {QStringLiteral("--host=h"), QStringLiteral("--from=a@b.com"), QStringLiteral("--to=c@d.com"),
       QStringLiteral("--port=0")},
      {QStringLiteral("--host=h"), QStringLiteral("--from=a@b.com"), QStringLiteral("--to=c@d.com"),
       QStringLiteral("--html=1")},
  };
  for (const auto& args : cases) EXPECT_EQ(Vrlmail(args).exitCode, 2) << args.join(u' ').toStdString();
}

TEST(VrlmailSend, SendsAndPrintsEvents) {
  QTemporaryDir dir;
  QFile text(dir.path() + QStringLiteral("/text.txt"));
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write("Line one\n.\nCaf\xc3\xa9\n");
  text.close();
  ScriptedServer server({OneMessage({"bob@example.com"})});
  const ToolRun r = Vrlmail(Base(server.port()) + QStringList{QStringLiteral("--subject"), QStringLiteral("Hi"),
                                                          QStringLiteral("--text-file"), text.fileName()});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("status: Transmission Complete...\n"))) << r.out.toStdString();
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
  ASSERT_EQ(server.data(0).size(), 1u);
  EXPECT_TRUE(server.data(0)[0].contains("\r\nLine one\r\n..\r\nCaf\xe9\r\n"));
}

TEST(VrlmailSend, RefusalExitsWithFive) {
  Scenario s;
  Hello(s);
  s.expect("MAIL FROM: <sender@example.com>").reply("250 ok").expect("RCPT TO: <bob@example.com>")
      .reply("550 5.1.1 unknown").expectClose();
  ScriptedServer server({s});
  const ToolRun r = Vrlmail(Base(server.port()));
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_TRUE(r.out.contains(QStringLiteral("failed: 550 5.1.1 unknown\n"))) << r.out.toStdString();
  EXPECT_EQ(Vrlmail(Base(server.port()) + QStringList{"--user=u", "--password-file=/nonexistent"}).exitCode, 6);
  EXPECT_TRUE(server.waitDone());
}

TEST(VrlmailSend, CountSendsCopiesOverOneConnectionWithLogin) {
  QTemporaryDir dir;
  QFile pw(dir.path() + QStringLiteral("/pw"));
  ASSERT_TRUE(pw.open(QIODevice::WriteOnly));
  pw.write("s3cret\n");
  pw.close();
  Scenario s;
  s.reply("220 hi")
      .expect("EHLO example.com")
      .send("250-hi\r\n250 AUTH LOGIN PLAIN\r\n")
      .expect("AUTH Login")
      .reply("334 VXNlcm5hbWU6")
      .expect(QByteArray("mailtest").toBase64())
      .reply("334 UGFzc3dvcmQ6")
      .expect(QByteArray("s3cret").toBase64())
      .reply("235 ok");
  for (int i = 0; i < 3; ++i) Transaction(s, {"bob@example.com"});
  Quit(s);
  ScriptedServer server({s});
  const ToolRun r = Vrlmail(Base(server.port()) + QStringList{QStringLiteral("--user"), QStringLiteral("mailtest"),
                                                          QStringLiteral("--password-file"), pw.fileName(),
                                                          QStringLiteral("--count"), QStringLiteral("3"),
                                                          QStringLiteral("--quiet"), QStringLiteral("--stats")});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("sent: 3 of 3\n"))) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("rss_peak: "))) << r.out.toStdString();
  EXPECT_FALSE(r.out.contains(QStringLiteral("status: ")));
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
  EXPECT_EQ(server.connectionsAccepted(), 1);
}

TEST(VrlmailSend, LocalhostAndLocalAddressesAreAccepted) {
  Scenario s;
  s.reply("220 hi").expect("HELO localhost").reply("250 ok");
  s.expect("MAIL FROM: <me@localhost>").reply("250 ok").expect("RCPT TO: <you@localhost>").reply("250 ok");
  s.expect("DATA").reply("354 go").readUntilDot().reply("250 ok");
  Quit(s);
  ScriptedServer server({s});
  const ToolRun r = Vrlmail({QStringLiteral("--host"), QStringLiteral("localhost"), QStringLiteral("--port"),
                         QString::number(server.port()), QStringLiteral("--from"), QStringLiteral("me@localhost"),
                         QStringLiteral("--to"), QStringLiteral("you@localhost")});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
  EXPECT_TRUE(server.waitDone());
}

}  // namespace
