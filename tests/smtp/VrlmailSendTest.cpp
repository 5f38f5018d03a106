// vrlmail send from the outside: exit codes, the printed events, --count over one connection,
// authentication from a password file.
#include "SmtpTestUtil.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

struct ToolRun {
  int exitCode = -1;
  std::string out;
};

ToolRun Vrlmail(const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"), QStringList{QStringLiteral("send")} + args);
  if (!p.waitForFinished(60000)) {
    p.kill();
    p.waitForFinished();
    return {};
  }
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, p.readAll().toStdString()};
}

QStringList Base(uint16_t port) {
  return {QStringLiteral("--host=127.0.0.1"), QStringLiteral("--port=%1").arg(port), QStringLiteral("--timeout=5"),
          QStringLiteral("--from=sender@example.com"), QStringLiteral("--to=bob@example.com"),
          QStringLiteral("--security=none")};
}

bool Contains(const ToolRun& r, const char* text) { return r.out.find(text) != std::string::npos; }

TEST(VrlmailSend, BadUsageExitsWithTwo) {
  const QStringList minimal{"--host=h", "--from=a@b.com", "--to=c@d.com"};
  const QStringList cases[] = {
      {}, {"--host", "127.0.0.1"}, {"--bogus"}, minimal + QStringList{"--port", "x"}, minimal + QStringList{"--count=0"},
      minimal + QStringList{"--user", "u"}, minimal + QStringList{"--port=0"}, minimal + QStringList{"--html=1"},
  };
  for (const auto& args : cases) EXPECT_EQ(Vrlmail(args).exitCode, 2) << args.join(u' ').toStdString();
}

TEST(VrlmailSend, SendsAndPrintsEvents) {
  QTemporaryDir dir;
  QFile text(dir.filePath(QStringLiteral("text.txt")));
  ASSERT_TRUE(text.open(QIODevice::WriteOnly) && text.write("Line one\n.\nCaf\xc3\xa9\n") > 0);
  text.close();
  ScriptedServer server({OneMessage({"bob@example.com"})});
  const ToolRun r = Vrlmail(Base(server.port()) + QStringList{"--subject=Hi", "--text-file=" + text.fileName()});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(Contains(r, "status: Transmission Complete...\n")) << r.out;
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
  EXPECT_TRUE(server.data(0).at(0).contains("\r\nLine one\r\n..\r\nCaf\xe9\r\n"));
}

TEST(VrlmailSend, RefusalExitsWithFiveAWrongCodeWithThreeAndAMissingPasswordFileWithSix) {
  Scenario s, wrong;
  Hello(s).expect("MAIL FROM: <sender@example.com>").reply("250 ok").expect("RCPT TO: <bob@example.com>");
  s.reply("550 5.1.1 unknown").expectClose();
  Hello(wrong).expect("MAIL FROM: <sender@example.com>").reply("220 wrong code").expectClose();
  ScriptedServer server({s, wrong});
  const ToolRun r = Vrlmail(Base(server.port()));
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_TRUE(Contains(r, "failed: 550 5.1.1 unknown\n")) << r.out;
  const ToolRun w = Vrlmail(Base(server.port()));
  EXPECT_EQ(w.exitCode, 3);
  EXPECT_TRUE(Contains(w, "failed: The SMTP server answered MAIL FROM with \"220 wrong code\"\n")) << w.out;
  EXPECT_EQ(Vrlmail(Base(server.port()) + QStringList{"--user=u", "--password-file=/nonexistent"}).exitCode, 6);
  EXPECT_TRUE(server.waitDone());
}

TEST(VrlmailSend, ByDefaultAPasswordNeverGoesInClearText) {
  QTemporaryFile pw;
  ASSERT_TRUE(pw.open());
  pw.write("s3cret\n");
  pw.flush();
  Scenario s;
  s.reply("220 test ESMTP").expectPrefix("EHLO ").reply("250 test").expectClose();  // no STARTTLS
  ScriptedServer server({s});
  QStringList args = Base(server.port());
  args.removeAll("--security=none");
  const ToolRun r = Vrlmail(args + QStringList{"--user=u", "--password-file=" + pw.fileName()});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_TRUE(Contains(r, "the password would go in clear text")) << r.out;
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join('\n').toStdString();
  // Asked for in so many words, it goes, with a warning.
  EXPECT_TRUE(Contains(Vrlmail(Base(1) + QStringList{"--user=u", "--password-file=" + pw.fileName()}),
                       "warning: --security none: the password goes in clear text"));
}

TEST(VrlmailSend, CountSendsCopiesOverOneConnectionWithLogin) {
  QTemporaryDir dir;
  QFile pw(dir.filePath(QStringLiteral("pw")));
  ASSERT_TRUE(pw.open(QIODevice::WriteOnly) && pw.write("s3cret\n") == 7);
  pw.close();
  Scenario s;
  s.reply("220 hi").expect("EHLO example.com").send("250-hi\r\n250 AUTH LOGIN PLAIN\r\n").expect("AUTH Login");
  s.reply("334 VXNlcm5hbWU6").expect("bWFpbHRlc3Q=").reply("334 UGFzc3dvcmQ6").expect("czNjcmV0").reply("235 ok");
  for (int i = 0; i < 3; ++i) Transaction(s, {"bob@example.com"});
  ScriptedServer server({Quit(s)});
  const ToolRun r = Vrlmail(Base(server.port()) + QStringList{"--user=mailtest", "--password-file=" + pw.fileName(),
                                                          "--count=3", "--quiet", "--stats"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(Contains(r, "sent: 3 of 3\n") && Contains(r, "rss_peak: ") && !Contains(r, "status: ")) << r.out;
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
  EXPECT_EQ(server.connectionsAccepted(), 1);
}

}  // namespace
