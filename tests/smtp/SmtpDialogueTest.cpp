// The SMTP dialogue against the scripted server: commands and status texts in order, replies
// split across reads and several in one read, AUTH LOGIN, POP-before-SMTP, refusals, time-outs,
// drops and kept-open sessions.
#include "SmtpTestUtil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content) {
  QFile f(dir.filePath(name));
  EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
  return f.fileName();
}

// Greeting, EHLO with the given reply, and AUTH LOGIN for "mailtest" / "Secret 123" up to the
// password (the reply to it is the caller's).
Scenario& Login(Scenario& s, const QByteArray& ehloReply) {
  return s.reply("220 test ESMTP").expect("EHLO example.com").send(ehloReply).expect("AUTH Login")
      .reply("334 VXNlcm5hbWU6").expect("bWFpbHRlc3Q=").reply("334 UGFzc3dvcmQ6").expect("U2VjcmV0IDEyMw==");
}

class Dialogue : public ::testing::Test {
 protected:
  void SetUp() override { UseFixedClockInUtc(); }
  void TearDown() override { vrl::SetNowForTesting({}); }
};

TEST_F(Dialogue, HeloSessionWithStatusTextsInOrder) {
  Session x({OneMessage({"bob@example.com"})});
  x.m.SetPriority(SMTP_OutMail::LOW_PRIORITY);
  x.m.SetPriority(2);  // a number outside the three keeps the text
  ASSERT_TRUE(x.m.send()) << x.failures();
  x.expectServerOk();
  EXPECT_EQ(x.rec.statuses, (QStringList{"Connecting to SMTP Server (127.0.0.1)...", "Initializing Communications...",
                                         "Sending Sender Information...", "Sending Recipient Information...",
                                         "Sending Message...", "Transmission Complete...", "Closing Connection..."}));
  EXPECT_EQ(x.rec.successes, 1);
  EXPECT_TRUE(x.rec.failures.isEmpty());
  ASSERT_FALSE(x.rec.progress.isEmpty());
  EXPECT_EQ(x.rec.progress.last(), 100);
  EXPECT_TRUE(std::is_sorted(x.rec.progress.begin(), x.rec.progress.end()));
  EXPECT_TRUE(x.server.data(0).at(0).contains("X-Priority: 2\r\nX-MSMail-Priority: Low\r\n"));
}

TEST_F(Dialogue, AuthLoginOutcomes) {
  const QByteArray ehlo = "250-test.example.com\r\n250 AUTH LOGIN\r\n";
  Scenario oldForm, refused, none;
  Login(oldForm, "250-test\r\n250-AUTH=LOGIN\r\n250 HELP\r\n").reply("235 ok");
  oldForm.expect("MAIL FROM: <sender@example.com> AUTH=sender@example.com").reply("250 ok");
  oldForm.expect("RCPT TO: <bob@example.com>").reply("250 ok").expect("DATA").reply("354 go").readUntilDot();
  Quit(oldForm.reply("250 ok"));
  Login(refused, ehlo).reply("535 5.7.8 Authentication failed").expectClose();
  none.reply("220 test ESMTP").expect("EHLO example.com").send("250-test\r\n250 SIZE 1000000\r\n");
  Quit(Transaction(none, {"bob@example.com"}));
  const struct {
    Scenario script;
    QString status, failure;
  } cases[] = {
      {oldForm, QStringLiteral("Host Login OK!"), QString()},
      {refused, QStringLiteral("Host Login Failed!"), QStringLiteral("535 5.7.8 Authentication failed")},
      {none, QStringLiteral("Login Not Supported by Host, Continuing..."), QString()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status.toStdString());
    Session x({c.script});
    x.login(QStringLiteral("mailtest"), QStringLiteral("Secret 123"));
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(x.m.send(), c.failure.isEmpty()) << x.failures();
    EXPECT_LT(t.elapsed(), 4000) << "the advertisement is known from the complete EHLO reply";
    x.expectServerOk();
    EXPECT_TRUE(x.rec.statuses.contains(c.status));
    EXPECT_EQ(x.rec.failures, c.failure.isEmpty() ? QStringList() : QStringList{c.failure});
  }
}

// A multi-line greeting and EHLO reply cut at every byte: the client must wait for the whole
// reply, and find the LOGIN mechanism wherever the cut falls.
TEST_F(Dialogue, ReplySplitAtEveryByte) {
  const QByteArray ehlo = "250-test.example.com\r\n250-PIPELINING\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n";
  const QByteArray greeting = "220-test.example.com ESMTP\r\n220 ready\r\n";
  for (int cut = 1; cut < ehlo.size(); ++cut) {
    SCOPED_TRACE(cut);
    Scenario s;
    s.sendSplit(greeting, {cut % static_cast<int>(greeting.size())}, 2)
        .expect("EHLO example.com")
        .sendSplit(ehlo, {cut}, 5)
        .expect("AUTH Login")
        .sendSplit("334 VXNlcm5hbWU6\r\n", {cut % 18}, 2)
        .expect("dQ==")
        .reply("334 UGFzc3dvcmQ6")
        .expect("cA==")
        .sendSplit("235 2.7.0 Authentication successful\r\n", {cut % 37}, 2);
    Session x({Quit(Transaction(s, {"bob@example.com"}))});
    x.login(QStringLiteral("u"), QStringLiteral("p"));
    ASSERT_TRUE(x.m.send()) << x.failures();
    x.expectServerOk();
  }
}

// The reply to the final dot decides the message: a 421 behind its "250" only ends the session,
// while a 421 behind the "250" to MAIL fails the message.
TEST_F(Dialogue, A421BehindA250) {
  Scenario accepted, failed;
  UpToData(Hello(accepted)).reply("354 go").readUntilDot().send("250 2.0.0 queued\r\n421 4.3.2 Shutting down\r\n")
      .expect("QUIT").close();
  Hello(failed).expect("MAIL FROM: <sender@example.com>").send("250 2.1.0 Ok\r\n421 4.3.2 Shutting down\r\n").close();
  for (const bool ok : {true, false}) {
    Session x({ok ? accepted : failed});
    EXPECT_EQ(x.m.send(), ok) << x.failures();
    x.expectServerOk();
    EXPECT_EQ(x.rec.successes, ok ? 1 : 0);
    EXPECT_EQ(x.rec.failures, ok ? QStringList() : QStringList{QStringLiteral("421 4.3.2 Shutting down")});
  }
}

// POP-before-SMTP: the POP3 login runs on the same scripted server (its first connection).
TEST_F(Dialogue, PopBeforeSmtp) {
  for (const bool ok : {true, false}) {
    Scenario pop;
    pop.reply("+OK POP3 ready").expect("USER mailtest").reply("+OK").expect("PASS Secret");
    if (ok) pop.reply("+OK logged in").expect("QUIT").reply("+OK bye").expectClose();
    else pop.reply("-ERR invalid login");
    Session x(ok ? std::vector<Scenario>{pop, OneMessage({"bob@example.com"})} : std::vector<Scenario>{pop});
    x.m.SetUsePopAuthentication(true);
    x.m.SetUsername(QStringLiteral("mailtest"));
    x.m.SetPassword(QStringLiteral("Secret"));
    x.m.SetPOP3Port(x.server.port());
    x.m.SetPOP3Host(QStringLiteral("127.0.0.1"));
    EXPECT_EQ(x.m.send(), ok) << x.failures();
    x.expectServerOk();
    ASSERT_FALSE(x.rec.statuses.isEmpty());
    EXPECT_EQ(x.rec.statuses[0], QStringLiteral("Connecting to POP3 Server (127.0.0.1)..."));
    EXPECT_EQ(x.rec.statuses.contains(QStringLiteral("POP3 Authentication Successful...")), ok);
    // A refused POP3 login reports the server's text, as fetching does.
    EXPECT_EQ(x.rec.failures, ok ? QStringList() : QStringList{QStringLiteral("invalid login")});
    EXPECT_EQ(x.server.connectionsAccepted(), ok ? 2 : 1);
  }
}

// A refusal ends the message with the server's text: later commands are not sent, the
// connection is closed.
TEST_F(Dialogue, RefusalsAtEachStep) {
  const QList<QByteArray> abc{"a@example.com", "b@example.com", "c@example.com"};
  Scenario greeting, helo, rcpt, data, afterDot;
  greeting.reply("554 5.3.2 No service").expectClose();
  helo.reply("220 hi").expect("HELO example.com").reply("501 5.5.4 Bad HELO").expectClose();
  Hello(rcpt).expect("MAIL FROM: <sender@example.com>").reply("250 ok").expect("RCPT TO: <a@example.com>").reply("250 ok");
  rcpt.expect("RCPT TO: <b@example.com>").reply("550 5.1.1 <b@example.com>: Recipient address rejected").expectClose();
  UpToData(Hello(data), abc).reply("451 4.3.0 Try again later").expectClose();
  UpToData(Hello(afterDot), abc).reply("354 go").readUntilDot().send("550-5.7.1 Message rejected\r\n550 5.7.1 as spam\r\n");
  afterDot.expectClose();
  const std::pair<Scenario, QString> cases[] = {
      {greeting, QStringLiteral("554 5.3.2 No service")},
      {helo, QStringLiteral("501 5.5.4 Bad HELO")},
      {rcpt, QStringLiteral("550 5.1.1 <b@example.com>: Recipient address rejected")},
      {data, QStringLiteral("451 4.3.0 Try again later")},
      {afterDot, QStringLiteral("550-5.7.1 Message rejected\r\n550 5.7.1 as spam")},
  };
  for (const auto& [script, failure] : cases) {
    SCOPED_TRACE(failure.toStdString());
    Session x({script}, QStringLiteral("a@example.com;b@example.com;c@example.com"));
    EXPECT_FALSE(x.m.send());
    x.expectServerOk();
    EXPECT_EQ(x.rec.failures, QStringList{failure});
    EXPECT_EQ(x.m.GetLastError(), failure);
    EXPECT_EQ(x.rec.successes, 0);
  }
}

// No reply to the final dot, and a server that stops reading the data: the time-out given
// applies (never below 3 s), not a fixed wait.
TEST_F(Dialogue, TimeOuts) {
  QTemporaryDir dir;
  const QString big = WriteFile(dir, QStringLiteral("big.bin"), QByteArray(16 << 20, 'z'));
  for (const bool stalled : {false, true}) {
    SCOPED_TRACE(stalled ? "stalled data" : "silent after the dot");
    Scenario s;
    UpToData(Hello(s)).reply("354 go");
    if (stalled) s.delay(8000);
    else s.readUntilDot().expectClose();
    Session x({s});
    int t = stalled ? 3 : 1;
    x.m.SetTimeOutNSeconds(t);
    EXPECT_EQ(t, 3);
    if (stalled) x.m.SetAttachment(big);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(x.m.send());
    EXPECT_GE(clock.elapsed(), 2900);
    EXPECT_LT(clock.elapsed(), 7000) << "the server stalls for 8 s";
    EXPECT_EQ(x.rec.failures, QStringList{SMTP_OutMail::kErrTimeout});
    if (!stalled) x.expectServerOk();
    x.server.waitDone(12000);
  }
}

TEST_F(Dialogue, NoServerOrNoGreeting) {
  SMTP_OutMail m;
  Recorder rec(m);
  Configure(m, ClosedPort());
  m.SetRecipient(QStringLiteral("bob@example.com"));
  EXPECT_FALSE(m.send());
  EXPECT_EQ(rec.failures, QStringList{QStringLiteral("Connection refused.")});
  Scenario s;
  Session x({s.close()});
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(x.m.send());
  EXPECT_LT(clock.elapsed(), 3000) << "a closed connection ends the wait";
  x.expectServerOk();
  EXPECT_EQ(x.rec.failures.size(), 1);
}

// The server goes away while the attachment streams: never a success.
TEST_F(Dialogue, DropInTheMiddleOfTheData) {
  QTemporaryDir dir;
  const QString big = WriteFile(dir, QStringLiteral("big.bin"), QByteArray(8 << 20, 'z'));
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    Scenario s;
    UpToData(Hello(s)).reply("354 go").expectPrefix("From: ");
    Session x({reset ? s.reset() : s.close()});
    x.m.SetAttachment(big);
    EXPECT_FALSE(x.m.send());
    x.expectServerOk();
    EXPECT_EQ(x.rec.successes, 0);
    ASSERT_EQ(x.rec.failures.size(), 1);
    EXPECT_FALSE(x.rec.failures[0].isEmpty());
  }
}

// A file that passes every check but cannot be read (the kernel refuses reading this one at
// offset 0): the message is abandoned without its final ".", and the connection is closed.
TEST_F(Dialogue, ReadErrorInTheMiddleOfTheData) {
  QFile probe(QStringLiteral("/proc/self/mem"));
  if (!probe.open(QIODevice::ReadOnly) || probe.read(16).size() > 0) GTEST_SKIP() << "no unreadable file here";
  Scenario s;
  UpToData(Hello(s)).reply("354 go").delay(300).close();
  Session x({s});
  x.m.SetAttachment(probe.fileName());
  EXPECT_FALSE(x.m.send());
  x.expectServerOk();
  EXPECT_EQ(x.rec.failures, QStringList{QStringLiteral("Cannot read the file to attach: /proc/self/mem")});
  EXPECT_FALSE(x.server.received(0).contains("\r\n.\r\n"));
  x.rec.statuses.clear();
  x.m.Disconnect();
  EXPECT_FALSE(x.rec.statuses.contains(QStringLiteral("Closing Connection..."))) << "already closed";
}

// A kept-open session: after a refused message the next one starts on a fresh connection (not in
// the middle of the refused transaction), and the messages after it share that connection.
// A refused message ends its connection; an unasked reply (a 421) on an idle kept-open connection
// makes the next message start on a new one instead of failing.
TEST_F(Dialogue, KeptOpenSession) {
  Scenario first, second, third;
  Hello(first).expect("MAIL FROM: <sender@example.com>").reply("250 ok");
  first.expect("RCPT TO: <nobody@example.com>").reply("550 5.1.1 User unknown").expectClose();
  UpToData(Hello(second)).reply("354 go").readUntilDot().send("250 queued\r\n421 4.4.2 idle too long\r\n").expectClose();
  Quit(Transaction(Hello(third), {"carol@example.com"}));
  Session x({first, second, third}, QString());
  ASSERT_TRUE(x.m.Connect()) << x.failures();
  for (const char* to : {"nobody@example.com", "bob@example.com", "carol@example.com"}) {
    x.m.SetRecipient(QString::fromLatin1(to));
    x.m.SetSubject(QString::fromLatin1(to));
    EXPECT_EQ(x.m.send(), to[0] != 'n') << x.failures();
  }
  x.m.Disconnect();
  x.expectServerOk();
  EXPECT_EQ(x.rec.failures, QStringList{QStringLiteral("550 5.1.1 User unknown")});
  EXPECT_EQ(x.rec.successes, 2);
  ASSERT_EQ(x.server.data(2).size(), 1u);
  EXPECT_TRUE(x.server.data(2)[0].contains("Subject: carol@example.com\r\n"));
}

// A large attachment goes out in blocks and arrives whole.
TEST_F(Dialogue, LargeAttachmentStreamsWhole) {
  QTemporaryDir dir;
  QByteArray content(3 * 1024 * 1024 + 17, Qt::Uninitialized);
  for (qsizetype i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) >> 3);
  Session x({OneMessage({"bob@example.com"})});
  x.m.SetAttachment(WriteFile(dir, QStringLiteral("data.bin"), content));
  EXPECT_TRUE(x.m.send()) << x.failures();
  x.expectServerOk();
  const QByteArray body = x.server.data(0).at(0);
  const qsizetype start = body.indexOf("filename=\"data.bin\"\r\n\r\n") + 23;
  ASSERT_GT(start, 23);
  EXPECT_TRUE(QByteArray::fromBase64(body.mid(start, body.indexOf("\r\n\r\n--", start) - start)) == content);
  EXPECT_TRUE(x.rec.statuses.contains(QStringLiteral("Sending Attachment, data.bin...")));
  EXPECT_GT(x.rec.progress.size(), 10);
}

}  // namespace
