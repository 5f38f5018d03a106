// The newer parts of the POP3 login against the scripted server: CAPA, SASL PLAIN and XOAUTH2
// (a refused token read and the exchange finished; a long token sent after the "+ "), a
// requirement the server cannot meet (refused before any credential), an STLS that fails without
// any fallback to clear text, and UIDL.
#include "pop3/POP3_InMail.h"
#include "Pop3TestUtil.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>
#include <functional>

using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

// user=u^Aauth=Bearer <token>^A^A
QByteArray XOAuth2(const QByteArray& token) { return ("user=u\x01" "auth=Bearer " + token + "\x01\x01").toBase64(); }

Scenario& Capa(Scenario& s, const QByteArray& lines) {
  return s.reply("+OK POP3 ready").expect("CAPA").send("+OK\r\n" + lines + ".\r\n");
}

}  // namespace

TEST(Pop3Auth, LoginDialogues) {
  const QByteArray json = R"({"status":"401","schemes":"bearer"})";
  const QByteArray longToken(300, 't');
  const QString noStls =
      QStringLiteral("The POP3 server does not offer STLS, which the profile requires: nothing was sent");
  struct Case {
    const char* name;
    vrlsec::AuthMethod auth;
    vrlsec::Security security;
    QByteArray password;
    Scenario script;
    QString error;  // empty: logged in
  };
  using A = vrlsec::AuthMethod;
  using S = vrlsec::Security;
  std::vector<Case> cases;
  {
    Scenario s;
    Capa(s, "USER\r\nSASL PLAIN LOGIN\r\n").expect("AUTH PLAIN AHUAcA==").reply("+OK in");
    cases.push_back({"plain when automatic", A::Auto, S::None, "p", s, {}});
  }
  {
    Scenario s;
    Capa(s, "USER\r\n").expect("USER u").reply("+OK").expect("PASS p").reply("+OK in");
    cases.push_back({"USER/PASS when no SASL PLAIN", A::Auto, S::None, "p", s, {}});
  }
  {
    Scenario s;
    s.reply("+OK POP3 ready").expect("CAPA").reply("-ERR unknown command").expectClose();
    cases.push_back({"required mechanism, CAPA refused", A::XOAuth2, S::None, "tok", s,
                     "The POP3 server does not offer AUTH XOAUTH2, which the profile requires"});
  }
  {
    Scenario s;
    Capa(s, "SASL XOAUTH2\r\n").expect("AUTH XOAUTH2 " + XOAuth2("tok")).reply("+ " + json.toBase64()).expect("");
    s.reply("-ERR [AUTH] Authentication failed").expectClose();
    cases.push_back({"refused token", A::XOAuth2, S::None, "tok", s,
                     "[AUTH] Authentication failed " + QString::fromUtf8(json)});
  }
  {
    Scenario s;
    Capa(s, "SASL XOAUTH2\r\n").expect("AUTH XOAUTH2").reply("+ ").expect(XOAuth2(longToken)).reply("+OK in");
    cases.push_back({"long token after the continuation", A::XOAuth2, S::None, longToken, s, {}});
  }
  {
    Scenario s;
    Capa(s, "USER\r\nSASL PLAIN\r\n").expectClose();
    cases.push_back({"STLS required, not offered", A::Login, S::StartTls, "p", s, noStls});
  }
  {
    // The default: a server (or someone in between) that hides STLS gets no credential.
    Scenario s;
    Capa(s, "USER\r\nSASL PLAIN\r\n").expectClose();
    cases.push_back({"automatic security, no STLS", A::Auto, S::Auto, "p", s,
                     "The POP3 server does not offer STLS: the password would go in clear text, so nothing was sent "
                     "(choose security tls or starttls, or none for a trusted local server)"});
  }
  {
    // The line behind "+OK" would be an answer injected before TLS: dropped, never read.
    Scenario s;
    Capa(s, "STLS\r\n").expect("STLS").send("+OK begin\r\n+OK injected\r\n").delay(300).close();
    cases.push_back({"failed STLS", A::Login, S::Auto, "p", s, "TLS: "});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.error.isEmpty()) c.script.expect("QUIT").reply("+OK bye").expectClose();
    ScriptedServer server({c.script});
    POP3_InMail client;
    vrlsec::Settings sec;
    sec.auth = c.auth;
    sec.security = c.security;
    client.SetSecurity(sec);
    quint16 port = server.port();
    const bool in = client.ConnectToPop3Server(QStringLiteral("u"), QString::fromLatin1(c.password),
                                               QStringLiteral("127.0.0.1"), port);
    EXPECT_EQ(in, c.error.isEmpty()) << client.GetLastError().toStdString();
    if (in) {
      EXPECT_TRUE(client.DisConnectFromPop3Server());
    } else if (c.error.endsWith(u' ')) {
      EXPECT_TRUE(client.GetLastError().startsWith(c.error)) << client.GetLastError().toStdString();
      EXPECT_FALSE(client.GetLastError().contains(QStringLiteral("injected")));
    } else {
      EXPECT_EQ(client.GetLastError(), c.error);
    }
    EXPECT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
  }
}

TEST(Pop3Auth, UniqueIdsAndSizes) {
  Scenario s;
  s.reply("+OK POP3 ready").expect("USER u").reply("+OK").expect("PASS p").reply("+OK in");
  s.expect("STAT").reply("+OK 3 420");  // for the count, asked once
  s.expect("UIDL").send("+OK\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n3 QhdPYR:00WBw1Ph7x7\r\n9 ignored\r\n.\r\n");
  s.expect("LIST").send("+OK\r\n1 120\r\n2 300\r\n.\r\n");
  s.expect("QUIT").reply("+OK bye").expectClose();
  ScriptedServer server({s});
  POP3_InMail client;
  quint16 port = server.port();
  ASSERT_TRUE(client.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.1"), port));
  std::vector<QByteArray> ids;
  std::vector<qint64> sizes;
  ASSERT_TRUE(client.GetUniqueIds(ids));
  ASSERT_TRUE(client.GetSizes(sizes));
  EXPECT_EQ(ids, (std::vector<QByteArray>{{}, "whqtswO00WBw418f9t5JxYwZ", {}, "QhdPYR:00WBw1Ph7x7"}));
  EXPECT_EQ(sizes, (std::vector<qint64>{-1, 120, 300, -1}));
  EXPECT_TRUE(client.DisConnectFromPop3Server());
  EXPECT_TRUE(server.waitDone(5000));
}

// With PIPELINING, AskMailbox sends STAT, UIDL and LIST in one write (the server answers none of
// them until it has all three); what was refused or garbled is asked again by its own call.
TEST(Pop3Auth, AskMailboxAsksInOneWriteAndAsksAgainWhatFailed) {
  const QByteArray ids = "+OK\r\n1 a\r\n2 b\r\n.\r\n", sizes = "+OK\r\n1 100\r\n2 200\r\n.\r\n";
  struct Case {
    const char* name;
    QByteArray capa;
    QByteArray answers;  // to STAT, UIDL and LIST together; empty: they are not sent together
    std::function<void(Scenario&)> then;  // what the calls ask afterwards
    bool asked;
    QString error;  // of GetNMailsOnPop3Server, GetUniqueIds or GetSizes; empty: all answered
    qint16 count = 2;
  } cases[] = {
      {"offered", "PIPELINING\r\n", "+OK 2 300\r\n" + ids + sizes, [](Scenario&) {}, true, {}},
      {"empty", "PIPELINING\r\n", "+OK 0 0\r\n+OK\r\n.\r\n+OK\r\n.\r\n", [](Scenario&) {}, true, {}, 0},
      {"not offered", "USER\r\n", {},
       [&](Scenario& s) { s.expect("STAT").reply("+OK 2 300").expect("UIDL").send(ids).expect("LIST").send(sizes); }, false, {}},
      {"STAT refused", "PIPELINING\r\n", "-ERR locked\r\n-ERR\r\n-ERR\r\n",
       [](Scenario& s) { s.expect("STAT").reply("-ERR still locked"); }, true,
       "Error Retrieving Number of Mails from POP3 Server! still locked"},
      {"UIDL refused", "PIPELINING\r\n", "+OK 2 300\r\n-ERR no\r\n" + sizes,
       [](Scenario& s) { s.expect("UIDL").reply("-ERR no"); }, true, "The POP3 server does not support UIDL"},
      {"UIDL garbled", "PIPELINING\r\n", "+OK 2 300\r\n250 what\r\n", [](Scenario&) {}, false,
       "The POP3 server answered UIDL with \"250 what\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario s;
    Capa(s, "SASL PLAIN\r\n" + c.capa).expect("AUTH PLAIN AHUAcA==").reply("+OK in");
    if (!c.answers.isEmpty()) s.expect("STAT").expect("UIDL").expect("LIST").send(c.answers);
    c.then(s);
    const bool broken = c.error.contains("answered");
    if (!broken) s.expect("QUIT").reply("+OK bye");
    ScriptedServer server({s});
    POP3_InMail client;
    vrlsec::Settings sec;
    sec.auth = vrlsec::AuthMethod::Auto;
    client.SetSecurity(sec);
    quint16 port = server.port();
    ASSERT_TRUE(client.ConnectToPop3Server(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.1"), port));
    EXPECT_EQ(client.AskMailbox(), c.asked && !broken);
    std::vector<QByteArray> got;
    std::vector<qint64> sizesGot;
    const bool all = client.GetNMailsOnPop3Server(false) == c.count && !client.CountFailed() &&
                     (c.count == 0 || (client.GetUniqueIds(got) && client.GetSizes(sizesGot)));
    EXPECT_EQ(all, c.error.isEmpty());
    if (all && c.count > 0) {
      EXPECT_EQ(got, (std::vector<QByteArray>{{}, "a", "b"}));
      EXPECT_EQ(sizesGot, (std::vector<qint64>{-1, 100, 200}));
    }
    EXPECT_TRUE(client.GetLastError().startsWith(c.error)) << client.GetLastError().toStdString();
    if (!broken) {
      EXPECT_TRUE(client.DisConnectFromPop3Server());
    }
    EXPECT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
  }
}
