// The connection test against scripted loopback servers: the lines its list shows.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>

#include <QTemporaryDir>

#include "AppFolder.h"
#include "Frm_TestConnect.h"
#include "ScriptedServer.h"
#include "oauth/TokenStore.h"

using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

const QString kDashes(143, QLatin1Char('-'));

Scenario Pop3Login(const QByteArray& passAnswer) {
  Scenario s;
  s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS p").reply(passAnswer);
  return s;
}

Scenario SmtpHello() {
  Scenario s;
  s.reply("220 test ESMTP").expectPrefix("HELO ").reply("250 test");
  return s;
}

TEST(UiEditorConnect, ListsEachServersDialogueBetweenDashLines) {
  ScriptedServer pop3({Pop3Login("+OK in")});
  ScriptedServer smtp({SmtpHello()});
  vrlconf::Frm_TestConnect d;
  d.SetValues(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"),
              pop3.port(), smtp.port(), 1, false, false);
  d.Start();
  const QStringList lines = d.Lines();
  SCOPED_TRACE(lines.join('\n').toStdString());
  ASSERT_GE(lines.size(), 5);
  EXPECT_EQ(lines.first(), kDashes);
  const qsizetype popOk = lines.indexOf(QStringLiteral("POP3 Server OK"));
  ASSERT_GT(popOk, 0);
  EXPECT_EQ(lines.value(popOk + 1), kDashes);
  EXPECT_EQ(lines.value(lines.size() - 2), QStringLiteral("SMTP Server OK"));
  EXPECT_EQ(lines.last(), kDashes);
  EXPECT_TRUE(d.CmdTestConnect->isEnabled() && d.cmdClose->isEnabled());
  EXPECT_FALSE(d.cmdShowCertificate->isEnabled());  // no TLS session
  EXPECT_TRUE(pop3.waitDone(5000) && smtp.waitDone(5000));
  EXPECT_TRUE(pop3.errors().isEmpty()) << pop3.errors().join(';').toStdString();
  EXPECT_TRUE(smtp.errors().isEmpty()) << smtp.errors().join(';').toStdString();
}

TEST(UiEditorConnect, RefusedLoginIsTriedTwiceThenReported) {
  ScriptedServer pop3({Pop3Login("-ERR bad login"), Pop3Login("-ERR bad login")});
  vrlconf::Frm_TestConnect d;
  d.SetValues(QStringLiteral("u"), QStringLiteral("p"), QStringLiteral("127.0.0.1"), QString(), pop3.port(), 25, 1,
              false, false);
  d.Start();
  const QStringList lines = d.Lines();
  SCOPED_TRACE(lines.join('\n').toStdString());
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines.first(), kDashes);
  EXPECT_EQ(lines.value(lines.size() - 2), QStringLiteral("ERROR Connecting to POP3 Server"));
  EXPECT_EQ(lines.last(), kDashes);
  EXPECT_GE(lines.filter(QStringLiteral("bad login")).size(), 2) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines.filter(QStringLiteral("SMTP")).isEmpty());  // no SMTP server: not tried
  EXPECT_EQ(pop3.connectionsAccepted(), 2);
}

TEST(UiEditorConnect, WithOAuthTheStoredTokenLogsIn) {
  QTemporaryDir home;
  vrl::SetApplicationFolder(home.path());
  const QByteArray bearer = QByteArray("user=u\x01" "auth=Bearer ACCESS-1\x01\x01").toBase64();
  Scenario s;
  s.reply("+OK ready").expect("CAPA").send("+OK\r\nSASL XOAUTH2\r\n.\r\n").expect("AUTH XOAUTH2 " + bearer).reply("+OK in");
  ScriptedServer pop3({s});
  ProfileSecurity sec;
  sec.AuthMethod = 4;
  for (const bool signedIn : {false, true}) {
    const oauth::StoredTokens tokens{"R", "ACCESS-1", QDateTime::currentDateTimeUtc().addSecs(3600), {}, false};
    if (signedIn) {
      ASSERT_TRUE(oauth::TokenStore(home.path()).Save("Mail", tokens));
    }
    vrlconf::Frm_TestConnect d;
    d.SetSecurity(sec);
    d.SetOAuth("Mail", {"custom", "c", "", "", "", "", "", "http://127.0.0.1:1/token"});
    d.SetValues("u", "", "127.0.0.1", QString(), pop3.port(), 25, 1, false, false);
    d.Start();
    EXPECT_EQ(d.Lines().contains("OAuth sign-in: not signed in"), !signedIn) << d.Lines().join('\n').toStdString();
    EXPECT_EQ(d.Lines().contains("POP3 Server OK"), signedIn);
  }
  EXPECT_TRUE(pop3.waitDone(5000) && pop3.errors().isEmpty()) << pop3.errors().join(';').toStdString();
  vrl::SetApplicationFolder(QString());
}

TEST(UiEditorConnect, AnImapProfileLogsInAndOpensItsFolder) {
  Scenario s;
  s.reply("* OK [CAPABILITY IMAP4rev1] ready").expect("A1 LOGIN \"u\" \"p\"").reply("A1 OK [CAPABILITY IMAP4rev1] in");
  s.expect("A2 SELECT \"Orders\"").send("* OK [UIDVALIDITY 3] v\r\nA2 OK done\r\n");
  ScriptedServer imap({s.expect("A3 LOGOUT").reply("* BYE bye").reply("A3 OK bye")});
  vrlconf::Frm_TestConnect d;
  d.SetImapFolder(QStringLiteral("Orders"));
  d.SetValues("u", "p", "127.0.0.1", QString(), imap.port(), 25, 1, false, false);
  d.Start();
  EXPECT_TRUE(d.Lines().contains("IMAP Server OK")) << d.Lines().join('\n').toStdString();
  EXPECT_TRUE(imap.waitDone(5000) && imap.errors().isEmpty()) << imap.errors().join(';').toStdString();
}

}  // namespace
