// A profile that signs in with OAuth, against the scripted POP3 and SMTP servers (XOAUTH2 with the
// token the script expects) and a loopback token endpoint: renewal before a session, a rotated
// refresh token kept, a refused login renewed once, a revoked sign-in reported until signed in
// again; no token in a log, the health record or a file others may read.
#include "AgentFixture.h"
#include "MailHost.h"
#include "ProfileOAuth.h"
#include "ProfileSecurity.h"
#include "TokenServer.h"
#include "oauth/TokenStore.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using vrltest::Scenario;
using vrltest::ScriptedServer;

QByteArray Bearer(const QByteArray& token) { return ("user=u\x01" "auth=Bearer " + token + "\x01\x01").toBase64(); }
QByteArray Tokens(const QByteArray& access, const QByteArray& refresh) {
  return R"({"access_token":")" + access + R"(","refresh_token":")" + refresh + R"(","expires_in":3600})";
}

// A POP3 session logging in with the token: refused, or an empty mailbox.
Scenario Pop3(const QByteArray& token, bool accepted) {
  Scenario s;
  s.reply("+OK ready").expect("CAPA").send("+OK\r\nSASL XOAUTH2\r\n.\r\n").expect("AUTH XOAUTH2 " + Bearer(token));
  if (!accepted) return s.reply("+ e30=").expect("").reply("-ERR [AUTH] token expired").expectClose();
  return s.reply("+OK in").expect("STAT").reply("+OK 0 0").expect("QUIT").reply("+OK bye");
}
Scenario Smtp(const QByteArray& token, bool message) {
  Scenario s;
  s.reply("220 test ESMTP").expectPrefix("EHLO ").send("250-hello\r\n250 AUTH XOAUTH2\r\n");
  s.expect("AUTH XOAUTH2 " + Bearer(token)).reply("235 ok");
  if (!message) return s.expect("QUIT").reply("221 bye");
  s.expectPrefix("MAIL FROM:").reply("250 ok").expectPrefix("RCPT TO:").reply("250 ok");
  return s.expect("DATA").reply("354 go on").readUntilDot().reply("250 queued").expect("QUIT").reply("221 bye");
}

class AgentOAuthTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    agent_.SetMailWork(&work_);
  }
  void Cycle() {
    ASSERT_TRUE(Tick());
    ASSERT_TRUE(Tick());
    Advance(global_.PrcInterval);
  }
  // A profile on the scripted servers signing in with OAuth at the token endpoint.
  ProfileRecord OAuthProfile(const ScriptedServer& pop, const ScriptedServer& smtp, const QUrl& tokenUrl,
                             const QString& name = "Mail 365") {
    ProfileRecord p = MakeProfile(name);
    p.TimeOutSecs = 5, p.UserName = "u", p.FromAddress = "agent@example.com", p.RecAddress = "to@example.com";
    p.Pop3Server = p.SmtpServer = "127.0.0.1", p.Pop3TcpPort = pop.port(), p.SmtpTcpPort = smtp.port();
    p.SmtpRequiresLogin = true;
    ProfileSecurity sec;
    sec.AuthMethod = conf::kAuthOAuth2;
    conf::WriteProfileSecurity(p, sec);
    conf::WriteProfileOAuth(p, {"custom", "client", "", "", "mail", "", "", tokenUrl.toString()});
    AddProfile(p);
    return p;
  }
  QJsonObject HealthOf(const QString& profile) const {
    const QJsonObject record = QJsonDocument::fromJson(ReadAll(home_ + "/" + agentbus::kHealthFileName)).object();
    return record.value("profiles").toObject().value(profile).toObject();
  }
  AgentMailWork work_;
};

TEST_F(AgentOAuthTest, TokensAreRenewedRotatedAndARevokedSignInStopsTheProfile) {
  TokenServer endpoint({{200, Tokens("ACCESS-TOKEN-1", "REFRESH-TOKEN-2")},
                        {200, Tokens("ACCESS-TOKEN-2", "REFRESH-TOKEN-3")},
                        {400, R"({"error":"invalid_grant","error_description":"revoked"})"}});
  ScriptedServer pop({Pop3("ACCESS-TOKEN-1", true), Pop3("ACCESS-TOKEN-1", false), Pop3("ACCESS-TOKEN-2", true),
                      Pop3("ACCESS-TOKEN-2", false)});
  ScriptedServer smtp({Smtp("ACCESS-TOKEN-1", true), Smtp("ACCESS-TOKEN-2", false)});
  const ProfileRecord p = OAuthProfile(pop, smtp, endpoint.Url());
  // Signed in earlier; the access token has run out.
  const oauth::TokenStore store(home_);
  ASSERT_TRUE(store.Save(p.Prfname, {"REFRESH-TOKEN-1", "ACCESS-TOKEN-0", QDateTime::currentDateTimeUtc().addSecs(-1), {}, false}));
  ASSERT_TRUE(Start());

  // 1: renewed before the session; the rotated refresh token is what the store keeps.
  Drop(p, "a.TXT");
  Cycle();
  oauth::StoredTokens t;
  ASSERT_TRUE(store.Load(p.Prfname, t));
  EXPECT_EQ(t.refreshToken, "REFRESH-TOKEN-2");
  EXPECT_FALSE(QFile::exists(p.OutboundDir + "/a.TXT")) << "sent with the new token";
  // 2: the stored token is still alive and goes first; refused, it is renewed once with the
  // rotated refresh token and the login is tried again.
  Cycle();
  ASSERT_EQ(endpoint.bodies.size(), 2);
  EXPECT_TRUE(endpoint.bodies[0].contains("refresh_token=REFRESH-TOKEN-1"));
  EXPECT_TRUE(endpoint.bodies[1].contains("refresh_token=REFRESH-TOKEN-2"));
  EXPECT_EQ(HealthOf(p.Prfname).value("oauth").toObject().value("state").toString(), "signed in");
  // 3: refused again and the sign-in revoked: one error naming the remedy, nothing else runs; 4:
  // the same error, without asking the provider again.
  Drop(p, "b.TXT");
  const QString error = "ERROR:\t Profile: \"Mail 365\" OAuth sign-in: the provider refused the refresh token";
  const QString remedy = "sign in again: run VRLCfg31 --oauth-login \"Mail 365\" or use Sign in... in the profile's settings";
  for (int cycle = 3; cycle <= 4; ++cycle) {
    SCOPED_TRACE(cycle);
    Cycle();
    const QStringList errors = CycleLines().filter("ERROR");
    ASSERT_EQ(errors.size(), cycle - 2) << CycleLines().join('\n').toStdString();
    EXPECT_TRUE(errors.last().startsWith(error) && errors.last().endsWith(remedy)) << errors.last().toStdString();
  }
  EXPECT_EQ(endpoint.bodies.size(), 3);
  EXPECT_TRUE(QFile::exists(p.OutboundDir + "/b.TXT")) << "the file waits for the sign-in";
  const QJsonObject oauth = HealthOf(p.Prfname).value("oauth").toObject();
  EXPECT_EQ(oauth.value("state").toString(), "sign in again");
  EXPECT_FALSE(oauth.value("works").toBool());
  for (ScriptedServer* s : {&pop, &smtp}) {
    EXPECT_TRUE(s->waitDone()) << s->progress().toStdString();
    EXPECT_EQ(s->errors(), QStringList{});
  }
  EXPECT_EQ(pop.connectionsAccepted(), 4);

  // No token in any file but the token store's, which only its owner reads.
  QDirIterator it(dir_.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    if (file == store.PathFor(p.Prfname))
      EXPECT_EQ(QFile::permissions(file) & 0x0077, 0) << "0600";
    else
      EXPECT_FALSE(ReadAll(file).contains("TOKEN-")) << file.toStdString();
  }
}

TEST_F(AgentOAuthTest, WithoutATokenNothingOfTheProfileRuns) {
  ScriptedServer pop({}), smtp({});
  // Never signed in; signed in, but the token endpoint does not answer.
  ProfileRecord never = OAuthProfile(pop, smtp, QUrl("http://127.0.0.1:1/token"), "Never");
  ProfileRecord down = OAuthProfile(pop, smtp, QUrl("http://127.0.0.1:1/token"), "Down");
  ASSERT_TRUE(oauth::TokenStore(home_).Save(down.Prfname, {"REFRESH-TOKEN-1", {}, {}, {}, false}));
  for (const ProfileRecord& p : {never, down}) Drop(p, "a.TXT");
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(CycleLines().filter("ERROR"),
            QStringList({"ERROR:\t Profile: \"Never\" OAuth sign-in: not signed in; sign in again: run VRLCfg31 --oauth-login "
                         "\"Never\" or use Sign in... in the profile's settings",
                         "ERROR:\t Profile: \"Down\" OAuth token not renewed: the token endpoint cannot be reached: Connection refused"}));
  EXPECT_EQ(HealthOf("Never").value("oauth").toObject().value("state").toString(), "sign in again");
  EXPECT_EQ(HealthOf("Down").value("oauth").toObject().value("state").toString(), "not renewed");
  for (const ProfileRecord& p : {never, down}) EXPECT_TRUE(QFile::exists(p.OutboundDir + "/a.TXT"));
  EXPECT_EQ(pop.connectionsAccepted() + smtp.connectionsAccepted(), 0);
}

}  // namespace
