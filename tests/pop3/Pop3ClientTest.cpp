// The POP3 dialogue against a scripted loopback server.
#include "pop3/POP3_InMail.h"
#include "Pop3TestUtil.h"
#include "ScriptedServer.h"
#include "VrlError.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace pop3test;
using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

const QString kHost = QStringLiteral("127.0.0.1");

Scenario Login() {
  Scenario s;
  s.reply("+OK POP3 ready").expect("USER u").reply("+OK").expect("PASS p").reply("+OK logged in");
  return s;
}

void ExpectBadIndex(const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no run-time error";
  } catch (const vrl::VrlError& e) {
    EXPECT_EQ(e.Number(), vrl::ErrNum(0x8004020Eu));
    EXPECT_EQ(e.Description(), QStringLiteral("Bad Mail Index!"));
    EXPECT_EQ(e.Source(), QStringLiteral("Vorlane POP3 & SMTP Engine 3.1"));
  }
}

// A client with its events, and the server of its script.
class Pop3Client : public ::testing::Test {
 protected:
  // Starts the server for the script and logs the client in.
  bool ConnectTo(const Scenario& script) {
    server = std::make_unique<ScriptedServer>(std::vector<Scenario>{script});
    return Connect();
  }
  // Logs the client in as u / p at the running server.
  bool Connect() {
    quint16 port = server->port();
    return c.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), kHost, port);
  }
  void ExpectScriptFollowed() {
    EXPECT_TRUE(server->waitDone(5000));
    EXPECT_TRUE(server->errors().isEmpty()) << server->errors().join(QLatin1Char('\n')).toStdString();
  }

  std::unique_ptr<ScriptedServer> server;
  POP3_InMail c;
  Events ev{c};
  Pop3Mail m;  // what GetMail fills
  std::vector<Pop3MailAttachments> atts;
};

TEST_F(Pop3Client, LoginAndLogoutWithTheirEvents) {
  ASSERT_TRUE(ConnectTo(Login().expect("QUIT").reply("+OK bye").expectClose()));
  EXPECT_TRUE(c.IsConectedToServer());
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  EXPECT_FALSE(c.IsConectedToServer());
  ExpectScriptFollowed();
  EXPECT_EQ(ev.status, (QStringList{QStringLiteral("Connecting to POP3 Server...(127.0.0.1)..."),
                                    QStringLiteral("Authenticate User..."), QStringLiteral("Send Password..."),
                                    QStringLiteral("Successful connected to pop3 Server"),
                                    QStringLiteral("Disconnecting from POP3 Server..."),
                                    QStringLiteral("Successful Disconnected from POP3 Server")}));
  EXPECT_TRUE(ev.failed.isEmpty()) << ev.failed.join(QLatin1Char(',')).toStdString();
}

TEST_F(Pop3Client, GreetingAndAnswersSplitAcrossReads) {
  Scenario s;
  s.sendSplit("+OK POP3 ready\r\n", {1, 3, 15})
      .expect("USER u")
      .sendSplit("+OK\r\n", {2})
      .expect("PASS p")
      .sendSplit("+OK logged in\r\n", {14})
      .expect("STAT")
      .sendSplit("+OK 4 1200\r\n", {5});
  ASSERT_TRUE(ConnectTo(s));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 4);
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, ErrOnPassFailsWithTheServersText) {
  Scenario s;
  s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS p").reply("-ERR [AUTH] Authentication failed.");
  EXPECT_FALSE(ConnectTo(s));
  EXPECT_FALSE(c.IsConectedToServer());
  EXPECT_EQ(c.GetLastError(), QStringLiteral("[AUTH] Authentication failed."));
  EXPECT_EQ(ev.failed, QStringList{QStringLiteral("[AUTH] Authentication failed.")});
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, PortZeroBecomes110AndIsWrittenBack) {
  quint16 port = 0;
  // 127.0.0.2 on port 110: nobody listens in the test environment, so this ends at once.
  c.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.2"), port);
  EXPECT_EQ(port, 110);
}

TEST_F(Pop3Client, RefusedConnectionReportsTheSocketError) {
  quint16 port;
  {
    ScriptedServer probe({});
    port = probe.port();
  }  // closed again: the port now refuses
  EXPECT_FALSE(c.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), kHost, port));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Connection refused."));
  EXPECT_EQ(ev.failed, QStringList{QStringLiteral("Connection refused.")});
}

TEST_F(Pop3Client, StatIsAskedOnceWhenAboveZero) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 3 1200").expect("STAT").reply("+OK 5 2000")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 3);
  EXPECT_EQ(c.GetNMailsOnPop3Server(false), 3);
  EXPECT_EQ(c.GetNMailsOnPop3Server(true), 5);
  ExpectScriptFollowed();
  EXPECT_EQ(server->received(0).count("STAT"), 2);
}

TEST_F(Pop3Client, EmptyMailboxIsAskedEveryTime) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 0 0").expect("STAT").reply("+OK 0 0")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, ErrOnStat) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("-ERR busy")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  EXPECT_EQ(ev.failed, (QStringList{QStringLiteral("busy"),
                                    QStringLiteral("Error Retrieving Number of Mails from POP3 Server!")}));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error Retrieving Number of Mails from POP3 Server!"));
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, FloodOfLinesIsHandledInOnePass) {
  // 1.4 million short lines after the answer: each is looked at once, none moves the rest.
  QByteArray flood = "+OK 3 100\r\n";
  flood += QByteArray("x\r\n").repeated(1400000);
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").send(flood).expect("QUIT").reply("+OK")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 3);
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, AStatAnswerWithoutACountIsAnError) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK mailbox ready")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error Retrieving Number of Mails from POP3 Server!"));
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, AnAnswerLongerThanTheMailboxEndsTheSessionAndKeepsTheMessage) {
  // 100 bytes announced, then a megabyte with no end: the client stops at the bound.
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 1 100").expect("RETR 1")
                            .send("+OK\r\n" + QByteArray(1 << 20, 'x')).delay(3000)));
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_TRUE(c.GetLastError().startsWith(QStringLiteral("The POP3 server sent more than the 100 bytes")))
      << c.GetLastError().toStdString();
  EXPECT_FALSE(c.IsConectedToServer());
  EXPECT_LT(POP3_InMailInternal::RetrieveCapacity(c), 1 << 20);
  server->waitDone(6000);
  EXPECT_FALSE(server->received(0).contains("QUIT")) << "no QUIT: nothing is deleted";
}

TEST_F(Pop3Client, HugeCountIsCappedToTheCounter) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 99999 1")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 32767);
  ExpectScriptFollowed();
}

const QByteArray kMessage =
    "From: =?UTF-8?Q?J=C3=B6rg?= <j@example.org>\r\nSubject: last one\r\n\r\nfirst\r\n..\r\n.\r\n...\r\nlast\r\n";

TEST_F(Pop3Client, RetrievesTheLastIndexAndUnstuffsDots) {
  // kMessage as it is on the wire: the server has stuffed every line starting with ".".
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 2 300").expect("RETR 2").send(
      "+OK 2 300\r\nFrom: =?UTF-8?Q?J=C3=B6rg?= <j@example.org>\r\nSubject: last one\r\n\r\n"
      "first\r\n....\r\n..\r\n....\r\nlast\r\n.\r\n")));
  ASSERT_TRUE(c.GetMail(2, m, atts));
  EXPECT_EQ(m.from, QStringLiteral("Jörg <j@example.org>"));
  EXPECT_EQ(m.Subject, QStringLiteral("last one"));
  EXPECT_EQ(m.Message, QStringLiteral("first\r\n...\r\n.\r\n...\r\nlast\r\n"));
  EXPECT_EQ(m.Size, QByteArray("From: =?UTF-8?Q?J=C3=B6rg?= <j@example.org>\r\nSubject: last one\r\n\r\n"
                               "first\r\n...\r\n.\r\n...\r\nlast\r\n").size());
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, EndMarkerSplitAtEveryPosition) {
  const QByteArray wire = RetrAnswer(kMessage);
  Scenario s = Login().expect("STAT").reply("+OK 1 300");
  std::vector<int> cuts;
  for (int cut = static_cast<int>(wire.size()) - 6; cut < wire.size(); ++cut) {
    s.expect("RETR 1").sendSplit(wire, {cut}, 30);
    cuts.push_back(cut);
  }
  ASSERT_TRUE(ConnectTo(s));
  for (int cut : cuts) {
    Pop3Mail m;
    std::vector<Pop3MailAttachments> atts;
    ASSERT_TRUE(c.GetMail(1, m, atts)) << "cut " << cut;
    EXPECT_EQ(m.Message, QStringLiteral("first\r\n..\r\n.\r\n...\r\nlast\r\n")) << "cut " << cut;
  }
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, BadIndexIsARunTimeError) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 2 300").expect("QUIT").reply("+OK")));
  ExpectBadIndex([&] { c.GetMail(0, m, atts); });
  ExpectBadIndex([&] { c.GetMail(3, m, atts); });
  ExpectBadIndex([&] { c.DelMail(0); });
  ExpectBadIndex([&] { c.DelMail(-1); });
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, EmptyMailboxHasNoValidIndex) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 0 0").expect("STAT").reply("+OK 0 0")));
  ExpectBadIndex([&] { c.GetMail(1, m, atts); });
  ExpectBadIndex([&] { c.DelMail(1); });
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, DeleteAndItsErrors) {
  ASSERT_TRUE(ConnectTo(Login()
                            .expect("STAT").reply("+OK 2 300")
                            .expect("DELE 2").reply("+OK marked")
                            .expect("DELE 1").reply("-ERR message 1 already deleted")
                            .expect("RETR 1").reply("-ERR no such message")));
  EXPECT_TRUE(c.DelMail(2));
  EXPECT_FALSE(c.DelMail(1));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error deleting message from POP3 server!"));
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error retrieving message from POP3 server!"));
  EXPECT_EQ(ev.failed, (QStringList{QStringLiteral("message 1 already deleted"),
                                    QStringLiteral("Error deleting message from POP3 server!"),
                                    QStringLiteral("no such message"),
                                    QStringLiteral("Error retrieving message from POP3 server!")}));
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, NotConnectedAndAlreadyConnected) {
  EXPECT_FALSE(c.DisConnectFromPop3Server());
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Not Connected to POP3 Server!"));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_FALSE(c.DelMail(1));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Not Connected to POP3 Server!"));

  ASSERT_TRUE(ConnectTo(Login().expect("QUIT").reply("+OK"))) << c.GetLastError().toStdString();
  EXPECT_FALSE(Connect());
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Already Connected to POP3 Server!"));
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  ExpectScriptFollowed();
}

TEST_F(Pop3Client, TimeOutIsClampedAndWrittenBack) {
  EXPECT_EQ(c.TimeOutNSeconds(), 3);
  const std::pair<qint16, qint16> cases[] = {{-5, 3}, {0, 3}, {2, 3}, {3, 3}, {60, 60}, {300, 300}, {301, 300}, {32767, 300}};
  for (auto [in, out] : cases) {
    qint16 v = in;
    c.SetTimeOutNSeconds(v);
    EXPECT_EQ(v, out) << in;
    EXPECT_EQ(c.TimeOutNSeconds(), out) << in;
  }
}

TEST_F(Pop3Client, ServerClosingDuringRetrieveFailsAtOnce) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 1 300").expect("RETR 1").send("+OK\r\nSubject: x\r\n\r\npartial").close()));
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_LT(t.elapsed(), 2500);  // not the 3 s time-out
  EXPECT_FALSE(c.IsConectedToServer());
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error retrieving message from POP3 server!"));
  EXPECT_EQ(ev.failed.value(0), QStringLiteral("Connection closed by POP3 server!"));
  ExpectScriptFollowed();
}

// ---- time-outs (3 s, the minimum; kept few) ----

TEST_F(Pop3Client, SilentServerDuringRetrieveTimesOut) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 1 300").expect("RETR 1")
                            .send("+OK\r\nSubject: x\r\n\r\npart").delay(4500)));
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_GE(t.elapsed(), 2900);
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Timeout retrieving message from POP3 server!"));
  server->waitDone(6000);
}

TEST_F(Pop3Client, NoGreetingTimesOutAndNoLoginFollows) {
  EXPECT_FALSE(ConnectTo(Scenario().delay(3600).reply("+OK late greeting").delay(500)));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Timeout connecting to POP3 server!"));
  server->waitDone(6000);
  EXPECT_FALSE(server->received(0).contains("USER"));
  EXPECT_FALSE(c.IsConectedToServer());
}

TEST_F(Pop3Client, JunkInsteadOfAGreetingDoesNotKeepTheClientWaiting) {
  Scenario s;
  for (int i = 0; i < 6; ++i) s.reply("* not a greeting").delay(1000);
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(ConnectTo(s));
  EXPECT_LT(t.elapsed(), 5000) << "three seconds without an answer are the time-out";
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Timeout connecting to POP3 server!"));
  server->waitDone(8000);
}

TEST_F(Pop3Client, SlowServerThatKeepsSendingNeverTimesOut) {
  // Five pieces 1.1 s apart: 4.4 s in all, more than the 3 s time-out, never 3 s of silence.
  const QByteArray wire = RetrAnswer(kMessage);
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 1 300").expect("RETR 1")
                            .sendSplit(wire, {5, 20, 40, 60}, 1100)));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(c.GetMail(1, m, atts)) << c.GetLastError().toStdString();
  EXPECT_GT(t.elapsed(), 4000);
  EXPECT_EQ(m.Subject, QStringLiteral("last one"));
  ExpectScriptFollowed();
}

}  // namespace
