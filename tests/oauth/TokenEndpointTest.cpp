// The token endpoint's answers as the server gives them, good, odd and hostile, and the endpoints
// a secret may be sent to.
#include "oauth/TokenEndpoint.h"

#include "TlsTestServer.h"
#include "TokenServer.h"

#include <gtest/gtest.h>

namespace {

using Outcome = oauth::TokenAnswer::Outcome;

TEST(TokenEndpoint, AnswersAsTheServerGivesThem) {
  const struct {
    const char* what;
    TokenServer::Answer answer;
    Outcome outcome;
    const char* access;
    const char* refresh;
    qint64 expires;
    QString error;  // how it starts
  } cases[] = {
      {"rotated", {200, R"({"access_token":"A1","refresh_token":"R2","expires_in":3600,"token_type":"Bearer"})"},
       Outcome::Tokens, "A1", "R2", 3600, ""},
      {"refresh token kept, lifetime as text", {200, R"({"access_token":"A2","expires_in":"3599"})"},
       Outcome::Tokens, "A2", "", 3599, ""},
      {"revoked", {400, "{\"error\":\"invalid_grant\",\"error_description\":\"Token expired or revoked.\\r\\nX\"}"},
       Outcome::Refused, "", "", 0, "invalid_grant: Token expired or revoked.  X"},
      {"wrong client", {401, R"({"error":"invalid_client"})"}, Outcome::Refused, "", "", 0, "invalid_client"},
      {"pending", {400, R"({"error":"authorization_pending"})"}, Outcome::Pending, "", "", 0, "authorization_pending"},
      {"slow down", {400, R"({"error":"slow_down"})"}, Outcome::SlowDown, "", "", 0, "slow_down"},
      {"code expired", {400, R"({"error":"expired_token"})"}, Outcome::Expired, "", "", 0, "expired_token"},
      {"unknown error", {400, R"({"error":"temporarily_unavailable"})"}, Outcome::Failed, "", "", 0, "temporarily_unavailable"},
      {"a page, not JSON", {502, "<html>Bad gateway</html>"}, Outcome::Failed, "", "", 0,
       "the token endpoint answered HTTP 502 without a token"},
      {"redirected, not followed", {307, {}, "Location: /elsewhere\r\n"}, Outcome::Failed, "", "", 0,
       "the token endpoint answered HTTP 307 without a token"},
      {"no token", {200, R"({"refresh_token":"R3"})"}, Outcome::Failed, "", "", 0, "the token endpoint answered HTTP 200"},
      {"too large", {200, "{\"access_token\":\"" + QByteArray(70 * 1024, 'a') + "\"}"}, Outcome::Failed, "", "", 0,
       "the token endpoint's answer is larger than 64 KiB"},
      {"no answer", {0, {}}, Outcome::Failed, "", "", 0, "the token endpoint cannot be reached: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TokenServer server({c.answer});
    const oauth::TokenAnswer a = oauth::Refresh(server.Url(), "id", "", "R1", {}, 1000);
    EXPECT_EQ(a.outcome, c.outcome);
    EXPECT_EQ(a.accessToken, c.access);
    EXPECT_EQ(a.refreshToken, c.refresh);
    EXPECT_EQ(a.expiresIn, c.expires);
    EXPECT_TRUE(c.error.isEmpty() ? a.error.isEmpty() : a.error.startsWith(c.error)) << a.error.toStdString();
    EXPECT_FALSE(a.error.contains("R1") || a.error.contains("aaaa")) << "no token in an error text";
  }
}

TEST(TokenEndpoint, TheRefreshFormIsEncoded) {
  TokenServer server({{200, R"({"access_token":"A"})"}, {200, R"({"access_token":"A"})"}});
  ASSERT_EQ(oauth::Refresh(server.Url(), "id", "s&x", "R+1/=", "a b").outcome, Outcome::Tokens);
  ASSERT_EQ(oauth::Refresh(server.Url(), "id", "", "R").outcome, Outcome::Tokens);
  EXPECT_EQ(server.bodies, (QList<QByteArray>{
                               "grant_type=refresh_token&refresh_token=R%2B1%2F%3D&client_id=id&client_secret=s%26x&scope=a%20b",
                               "grant_type=refresh_token&refresh_token=R&client_id=id"}));
}

TEST(TokenEndpoint, SecretsGoOnlyOverHttpsOrToThisMachine) {
  const std::pair<const char*, bool> urls[] = {
      {"https://login.example.com/oauth2/v2.0/token", true}, {"http://127.0.0.1:8080/token", true},
      {"http://[::1]:8080/token", true}, {"http://localhost/token", true}, {"http://192.0.2.1/token", false},
      {"http://login.example.com/token", false}, {"ftp://127.0.0.1/token", false}, {"https:///token", false}, {"", false}};
  for (auto [url, allowed] : urls) EXPECT_EQ(oauth::AllowedEndpoint(QUrl(url)), allowed) << url;
  const oauth::TokenAnswer a = oauth::Refresh(QUrl("http://192.0.2.1/token?x=1"), "id", "", "R", {}, 200);
  EXPECT_EQ(a.outcome, Outcome::Failed);
  EXPECT_EQ(a.error, "the token endpoint URL must use https (plain http only to this machine): http://192.0.2.1/token");
}

TEST(TokenEndpoint, AnUntrustedCertificateGetsNoSecret) {
#ifdef __SANITIZE_ADDRESS__
  // Qt's TLS plugin keeps OpenSSL's objects of a failed handshake until exit, out of our reach.
  GTEST_SKIP() << "not under the leak checker";
#endif
  // A certificate nobody vouches for gets no secret, not even on this machine.
  const vrltest::TlsEchoServer tls(vrltest::TestCa::SelfSigned({"127.0.0.1"}));
  const oauth::TokenAnswer b = oauth::Refresh(QUrl(QString("https://127.0.0.1:%1/token").arg(tls.Port())), "id", "", "R");
  EXPECT_EQ(b.outcome, Outcome::Failed);
  EXPECT_TRUE(b.error.contains("certificate", Qt::CaseInsensitive)) << b.error.toStdString();
}

}  // namespace
