// The browser sign-in: the test plays the browser, following the authorization page's redirect.
#include "oauth/AuthCodeGrant.h"
#include "oauth/SignIn.h"

#include "PollFor.h"
#include "TokenServer.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <gtest/gtest.h>

#include <memory>

namespace {

using Outcome = oauth::TokenAnswer::Outcome;

TEST(AuthCodeGrant, PkceAsTheRfcComputesIt) {
  EXPECT_EQ(oauth::PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  const QString v = oauth::PkceVerifier();
  EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9_-]{43}$").match(v).hasMatch()) << v.toStdString();
  EXPECT_NE(v, oauth::PkceVerifier());
}

// One GET of the browser; its answer stays readable once the server closes.
std::unique_ptr<QTcpSocket> Get(const QUrl& base, const QByteArray& target) {
  auto s = std::make_unique<QTcpSocket>();
  s->connectToHost(QHostAddress::LocalHost, quint16(base.port()));
  s->write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return s;
}

TEST(AuthCodeGrant, TheBrowserComesBack) {
  // query: of the redirect, "%s" for the state; nullptr: the user cancels.
  const struct { const char *what, *query; Outcome outcome; const char *error, *page; } cases[] = {
      {"signed in", "code=C%2F1&state=%s", Outcome::Tokens, "", "Signed in."},
      {"another sign-in's state", "code=C1&state=forged", Outcome::Failed, "its state differs", "The sign-in failed"},
      {"declined", "error=access_denied&error_description=the+user%0Asaid+no&state=%s", Outcome::Refused,
       "access_denied: the user said no", "access_denied"},
      {"cancelled", nullptr, Outcome::Failed, "cancelled", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QTemporaryDir dir;
    const oauth::TokenStore store(dir.path());
    TokenServer server({{200, R"({"access_token":"A1","refresh_token":"R1","expires_in":3600})"}});
    oauth::SignInSettings s;
    s.profile = "P", s.browser = true, s.clientId = "id", s.clientSecret = "S", s.scopes = "a b";
    s.deviceUrl = s.tokenUrl = server.Url();  // the device grant is not asked for
    s.authorizeUrl = QUrl("https://login.example.com/authorize?tenant=x");
    QUrlQuery asked;
    QString back;
    std::unique_ptr<QTcpSocket> redirect, icon;  // icon goes first: its handler sets redirect
    oauth::SignInUi ui;
    ui.openPage = [&](const QUrl& page) {
      EXPECT_EQ(page.toString(QUrl::RemoveQuery), "https://login.example.com/authorize");
      asked = QUrlQuery(page);
      back = asked.queryItemValue("redirect_uri", QUrl::FullyDecoded);
      EXPECT_TRUE(QRegularExpression("^http://127\\.0\\.0\\.1:\\d+/$").match(back).hasMatch()) << back.toStdString();
      if (!c.query) return;
      // A stray request first; the redirect once it is answered.
      const QByteArray target = QString("/?%1").arg(c.query).replace("%s", asked.queryItemValue("state")).toLatin1();
      icon = Get(back, "/favicon.ico?v=1");
      QObject::connect(icon.get(), &QTcpSocket::disconnected, [&, target] { redirect = Get(back, target); });
    };
    ui.wait = [&](int) { return c.query != nullptr; };
    const oauth::TokenAnswer a = oauth::SignIn(store, s, ui);
    EXPECT_EQ(a.outcome, c.outcome) << a.error.toStdString();
    EXPECT_TRUE(a.error.contains(c.error)) << a.error.toStdString();
    for (const auto& [key, value] : {std::pair{"tenant", "x"}, {"response_type", "code"}, {"client_id", "id"},
                                     {"scope", "a b"}, {"code_challenge_method", "S256"}})
      EXPECT_EQ(asked.queryItemValue(key, QUrl::FullyDecoded), value) << key;
    EXPECT_GE(asked.queryItemValue("state").size(), 32);
    EXPECT_FALSE(asked.hasQueryItem("client_secret"));

    oauth::StoredTokens kept;
    ASSERT_TRUE(store.Load("P", kept));
    EXPECT_EQ(kept.refreshToken, c.outcome == Outcome::Tokens ? "R1" : "");
    EXPECT_EQ(server.bodies.size(), c.outcome == Outcome::Tokens ? 1 : 0) << "a code traded only when ours";
    if (c.outcome == Outcome::Tokens) {
      const QUrlQuery form(QString::fromLatin1(server.bodies.value(0)));
      EXPECT_EQ(oauth::PkceChallenge(form.queryItemValue("code_verifier")), asked.queryItemValue("code_challenge"));
      for (const auto& [key, value] : {std::pair{"grant_type", QString("authorization_code")}, {"code", QString("C/1")},
                                       {"redirect_uri", back}, {"client_secret", QString("S")}})
        EXPECT_EQ(form.queryItemValue(key, QUrl::FullyDecoded), value) << key;
      EXPECT_EQ(QFile(store.PathFor("P")).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }
    if (!c.query) continue;
    ASSERT_TRUE(vrltest::PollFor([&] { return redirect && redirect->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(icon->readAll().startsWith("HTTP/1.1 404 "));
    const QByteArray page = redirect->readAll();
    EXPECT_TRUE(page.startsWith("HTTP/1.1 200 ") && page.contains(c.page)) << page.constData();
  }
}

}  // namespace
