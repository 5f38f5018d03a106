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
const QString kStatFailed = QStringLiteral("Error Retrieving Number of Mails from POP3 Server!");

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
  }
}

// A client with its events, and the server of its script.
struct Session {
  // Starts the server for the script and logs the client in as u / p.
  bool ConnectTo(const Scenario& script, const QString& user = QStringLiteral("u"),
                 const QString& password = QStringLiteral("p")) {
    server = std::make_unique<ScriptedServer>(std::vector<Scenario>{script});
    quint16 port = server->port();
    return c.ConnectToPop3Server(user, password, kHost, port);
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
struct Pop3Client : ::testing::Test, Session {};

TEST_F(Pop3Client, SplitAnswersAndAStatAskedOnceWhenAboveZero) {
  Scenario s;
  s.sendSplit("+OK POP3 ready\r\n", {1, 3, 15}).expect("USER u").sendSplit("+OK\r\n", {2}).expect("PASS p")
      .sendSplit("+OK logged in\r\n", {14}).expect("STAT").sendSplit("+OK 3 1200\r\n", {5})
      .expect("STAT").reply("+OK 5 2000").expect("QUIT").reply("+OK bye").expectClose();
  ASSERT_TRUE(ConnectTo(s));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 3);
  EXPECT_EQ(c.GetNMailsOnPop3Server(false), 3);
  EXPECT_EQ(c.GetNMailsOnPop3Server(true), 5);
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  EXPECT_FALSE(c.IsConectedToServer());
  ExpectScriptFollowed();
  EXPECT_TRUE(ev.failed.isEmpty()) << ev.failed.join(QLatin1Char(',')).toStdString();
}

TEST(Pop3ClientStat, AnswersToStat) {
  const struct {
    QByteArray answer;
    int count;
    QString error;  // after kStatFailed when it failed
    mailerr::Kind kind = mailerr::Kind::None;
  } cases[] = {
      {"+OK 99999 1\r\n", 32767, {}},  // capped to the counter
      {"+OK 3 100\r\n", 3, {}},
      {"+OK 0 0\r\n", 0, {}},
      {"-ERR busy\r\n", 0, " busy", mailerr::Kind::RefusedPermanently},
      {"-ERR [SYS/TEMP] busy\r\n", 0, " [SYS/TEMP] busy", mailerr::Kind::RefusedForNow},
      {"+OK mailbox ready\r\n", 0, " Not a count: +OK mailbox ready", mailerr::Kind::Protocol},
      {"-ERR " + QByteArray(300, 'x') + "\r\n", 0, " " + QString(200, 'x'), mailerr::Kind::RefusedPermanently},
  };
  for (const auto& tc : cases) {
    Session s;
    SCOPED_TRACE(tc.answer.left(20).toStdString());
    ASSERT_TRUE(s.ConnectTo(Login().expect("STAT").send(tc.answer).expect("QUIT").reply("+OK")));
    EXPECT_EQ(s.c.GetNMailsOnPop3Server(), tc.count);
    EXPECT_EQ(s.c.CountFailed(), !tc.error.isNull());
    EXPECT_EQ(s.c.GetLastError(), tc.error.isNull() ? QString() : kStatFailed + tc.error);
    EXPECT_EQ(s.c.LastFailure().kind, tc.kind) << mailerr::KindName(s.c.LastFailure().kind);
    EXPECT_EQ(s.c.LastFailure().transient, tc.kind == mailerr::Kind::RefusedForNow);
    EXPECT_TRUE(s.c.DisConnectFromPop3Server());
    EXPECT_TRUE(s.c.QuitConfirmed());
    s.ExpectScriptFollowed();
  }
}

TEST_F(Pop3Client, EmptyMailboxIsAskedEveryTimeAndHasNoValidIndex) {
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 0 0").expect("STAT").reply("+OK 0 0")
                            .expect("STAT").reply("+OK 0 0")));
  EXPECT_EQ(c.GetNMailsOnPop3Server(), 0);
  ExpectBadIndex([&] { c.GetMail(1, m, atts); });
  ExpectBadIndex([&] { c.DelMail(1); });
  ExpectScriptFollowed();
}

// A line break inside a user name or password must not reach the server as a line of its own:
// it would run a command of the caller's choosing (here "DELE 1") in the logged-in session.
TEST(Pop3Review, LineBreaksInCredentialsSendNoExtraCommand) {
  const std::pair<QString, QString> cases[] = {{QStringLiteral("u\r\nDELE 1"), QStringLiteral("p")},
                                               {QStringLiteral("u"), QStringLiteral("p\nDELE 1")},
                                               {QStringLiteral("u"), QStringLiteral("p\rDELE 1")}};
  for (const auto& [user, password] : cases) {
    Session s;
    EXPECT_FALSE(s.ConnectTo(Scenario().reply("+OK ready").expectPrefix("USER ").reply("+OK").expectPrefix("PASS ")
                                 .reply("-ERR denied"), user, password));
    s.ExpectScriptFollowed();
    EXPECT_EQ(s.ev.failed, QStringList{QStringLiteral("denied")});  // the server's own text
    const QByteArray wire = s.server->received(0);
    EXPECT_EQ(wire.count("\r\n"), 2) << wire.toStdString();  // two commands, nothing else cut into lines
    EXPECT_FALSE(wire.contains("\nDELE") || wire.contains("\rDELE")) << wire.toStdString();
  }
}

TEST_F(Pop3Client, PortZeroBecomes110AndIsWrittenBack) {
  quint16 port = 0;
  // 127.0.0.2 on port 110: nobody listens in the test environment, so this ends at once.
  c.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.2"), port);
  EXPECT_EQ(port, 110);
}

const QByteArray kMessage =
    "From: =?UTF-8?Q?J=C3=B6rg?= <j@example.org>\r\nSubject: last one\r\n\r\nfirst\r\n..\r\n.\r\n...\r\nlast\r\n";

TEST_F(Pop3Client, DeleteRetrieveAndTheirErrors) {
  ASSERT_TRUE(ConnectTo(Login()
                            .expect("STAT").reply("+OK 2 300")
                            .expect("DELE 2").reply("+OK marked")
                            .expect("DELE 1").reply("-ERR message 1 already deleted")
                            .expect("RETR 1").reply("-ERR no such message")
                            .expect("QUIT").reply("+OK")));
  ExpectBadIndex([&] { c.GetMail(0, m, atts); });
  ExpectBadIndex([&] { c.GetMail(3, m, atts); });
  ExpectBadIndex([&] { c.DelMail(-1); });
  EXPECT_TRUE(c.DelMail(2));
  EXPECT_FALSE(c.DelMail(1));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error deleting message from POP3 server!"));
  EXPECT_EQ(c.LastFailure().kind, mailerr::Kind::RefusedPermanently);
  EXPECT_EQ(c.LastFailure().reply, "-ERR message 1 already deleted");
  EXPECT_FALSE(c.GetMail(1, m, atts));
  EXPECT_EQ(c.GetLastError(), QStringLiteral("Error retrieving message from POP3 server!"));
  EXPECT_EQ(ev.failed, (QStringList{QStringLiteral("message 1 already deleted"),
                                    QStringLiteral("Error deleting message from POP3 server!"),
                                    QStringLiteral("no such message"),
                                    QStringLiteral("Error retrieving message from POP3 server!")}));
  EXPECT_TRUE(c.DisConnectFromPop3Server());
  ExpectScriptFollowed();
}

// A refused login is a login failure, one that may pass when the server says why (RFC 3206).
TEST(Pop3ClientLogin, RefusalsAreLoginFailures) {
  for (const QByteArray answer : {"-ERR [AUTH] wrong password", "-ERR [IN-USE] mailbox locked"}) {
    Session s;
    Scenario script;
    script.reply("+OK POP3 ready").expect("USER u").reply("+OK").expect("PASS p").reply(answer).expectClose();
    EXPECT_FALSE(s.ConnectTo(script));
    EXPECT_EQ(s.c.LastFailure().kind, mailerr::Kind::Login) << s.c.GetLastError().toStdString();
    EXPECT_EQ(s.c.LastFailure().transient, answer.contains("IN-USE"));
    EXPECT_EQ(s.c.GetLastError(), QString::fromLatin1(answer.mid(5)));
    s.ExpectScriptFollowed();
  }
}

// Every command judges its answer: a line that is neither "+OK" nor "-ERR" fails it at once as a
// protocol error naming the command (never its argument), and ends the session without QUIT.
TEST(Pop3ClientSteps, AWrongAnswerEndsTheCommandAtOnce) {
  const struct {
    QByteArray command, answer;  // the answer replaces the one to this command
  } cases[] = {{"USER u", "OK fine"}, {"PASS p", "+OKAY"}, {"STAT", "* 1 100"}, {"DELE 1", "250 ok"}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.command.toStdString());
    Scenario script;
    script.reply("+OK POP3 ready");
    for (const QByteArray& step : {QByteArray("USER u"), QByteArray("PASS p"), QByteArray("STAT"), QByteArray("DELE 1")}) {
      script.expect(step);
      if (step == tc.command) break;
      script.reply(step == "STAT" ? "+OK 1 100" : "+OK");
    }
    script.reply(tc.answer).expectClose();
    Session s;
    QElapsedTimer t;
    t.start();
    if (s.ConnectTo(script) && s.c.GetNMailsOnPop3Server() == 1) {
      EXPECT_FALSE(s.c.DelMail(1));
    }
    EXPECT_LT(t.elapsed(), 2500);
    const QByteArray word = tc.command.left(4);
    EXPECT_EQ(s.c.LastFailure().kind, mailerr::Kind::Protocol) << s.c.GetLastError().toStdString();
    EXPECT_TRUE(s.ev.failed.contains("The POP3 server answered " + QString::fromLatin1(word) + " with \"" +
                                     QString::fromLatin1(tc.answer) + "\""))
        << s.ev.failed.join(u'|').toStdString();
    s.ExpectScriptFollowed();
  }
}

// ---- hostile and slow servers (the time-out is 3 s, the minimum) ----

TEST(Pop3ClientHostile, EveryWaitIsBounded) {
  const Scenario retr = Login().expect("STAT").reply("+OK 1 100").expect("RETR 1");
  Scenario junk;
  junk.reply("* not a greeting").delay(500);
  const struct {
    const char* name;
    Scenario script;
    const char* error;    // the start of the last error
    int minMs, maxMs;     // how long the failing call takes
    const char* neverSent;
    qint64 maxMessage = 0;  // SetMaxMessageBytes, when set
  } cases[] = {
      {"silent during RETR", Scenario(retr).send("+OK\r\nSubject: x\r\n\r\npart").delay(4500),
       "Timeout retrieving message from POP3 server!", 2900, 60000, nullptr},
      {"closed during RETR", Scenario(retr).send("+OK\r\nSubject: x\r\n\r\npartial").close(),
       "Error retrieving message from POP3 server!", 0, 2500, nullptr},
      // 100 bytes announced, then a megabyte with no end: the client stops at the bound and sends
      // no QUIT, so nothing is deleted.
      {"endless RETR", Scenario(retr).send("+OK\r\n" + QByteArray(1 << 20, 'x')).delay(3000),
       "The POP3 server sent more than the 100 bytes", 0, 60000, "QUIT"},
      // Without a maildrop size the message's own, from LIST, bounds it; without that too, the
      // largest message there may be.
      {"endless RETR, STAT without a size",
       Login().expect("STAT").reply("+OK 1").expect("LIST").send("+OK\r\n1 100\r\n.\r\n").expect("RETR 1")
           .send("+OK\r\n" + QByteArray(1 << 20, 'x')).delay(300),
       "The POP3 server sent more than the 100 bytes it announced for message 1", 0, 60000, "QUIT"},
      {"endless RETR, no size at all", Login().expect("STAT").reply("+OK 1 1125899906842624").expect("LIST")
           .reply("-ERR no").expect("RETR 1").send("+OK\r\n" + QByteArray(1 << 20, 'x')).delay(300),
       "The POP3 server sent more than the 100000 bytes a message may have", 0, 60000, "QUIT", 100000},
      {"no greeting", Scenario().delay(3600).reply("+OK late greeting").delay(500),
       "Timeout connecting to POP3 server!", 2900, 60000, "USER"},
      // An answer the command cannot get ends it at once, and the session without QUIT.
      {"junk instead of a greeting", junk, "The POP3 server answered the greeting with \"* not a greeting\"", 0,
       2500, "USER"},
      {"junk instead of RETR's status", Scenario(retr).reply("* BYE").delay(500),
       "The POP3 server answered RETR with \"* BYE\"", 0, 2500, "QUIT"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Session s;
    if (tc.maxMessage) s.c.SetMaxMessageBytes(tc.maxMessage);
    QElapsedTimer t;
    t.start();
    if (s.ConnectTo(tc.script)) {
      t.start();
      EXPECT_FALSE(s.c.GetMail(1, s.m, s.atts));
    }
    EXPECT_GE(t.elapsed(), tc.minMs);
    EXPECT_LT(t.elapsed(), tc.maxMs);
    EXPECT_TRUE(s.c.GetLastError().startsWith(QLatin1String(tc.error))) << s.c.GetLastError().toStdString();
    EXPECT_LT(POP3_InMailInternal::RetrieveCapacity(s.c), 1 << 20);
    s.server->waitDone(8000);
    if (tc.neverSent) {
      EXPECT_FALSE(s.server->received(0).contains(tc.neverSent));
    }
  }
}

TEST_F(Pop3Client, SlowServerThatKeepsSendingNeverTimesOut) {
  // Five pieces 1.1 s apart: 4.4 s in all, more than the time-out, never 3 s of silence.
  ASSERT_TRUE(ConnectTo(Login().expect("STAT").reply("+OK 2 300").expect("RETR 2")
                            .sendSplit(RetrAnswer(kMessage), {5, 20, 40, 60}, 1100)));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(c.GetMail(2, m, atts)) << c.GetLastError().toStdString();
  EXPECT_GT(t.elapsed(), 4000);
  EXPECT_EQ(m.from, QStringLiteral("Jörg <j@example.org>"));
  EXPECT_EQ(m.Message, QStringLiteral("first\r\n..\r\n.\r\n...\r\nlast\r\n"));  // unstuffed
  EXPECT_EQ(m.Size, kMessage.size());
  ExpectScriptFollowed();
}

}  // namespace
