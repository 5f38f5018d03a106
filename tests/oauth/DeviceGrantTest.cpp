// The device grant: the code as servers give it, and the polls until the user is done.
#include "oauth/DeviceGrant.h"

#include "TokenServer.h"

#include <gtest/gtest.h>

namespace {

using Outcome = oauth::TokenAnswer::Outcome;

TEST(DeviceGrant, TheCodeAsServersGiveIt) {
  TokenServer server({{200, R"({"device_code":"D1","user_code":"ABCD-EFGH","verification_uri":"https://example.com/device",
                                "interval":2,"expires_in":60,"message":"Open the page\nand type ABCD-EFGH"})"},
                      {200, R"({"device_code":"D2","user_code":"X","verification_url":"https://example.com/d","interval":100000})"},
                      {400, R"({"error":"invalid_client","error_description":"no such app"})"},
                      {200, R"({"device_code":"D3"})"}});
  oauth::DeviceCode c = oauth::RequestDeviceCode(server.Url(), "id", "a b", 1000);
  ASSERT_TRUE(c.ok) << c.error.toStdString();
  EXPECT_EQ(c.deviceCode, "D1");
  EXPECT_EQ(c.userCode, "ABCD-EFGH");
  EXPECT_EQ(c.verificationUri, "https://example.com/device");
  EXPECT_EQ(c.message, "Open the page and type ABCD-EFGH") << "one line in our output";
  EXPECT_EQ(c.intervalSecs, 2);
  EXPECT_EQ(c.expiresInSecs, 60);
  c = oauth::RequestDeviceCode(server.Url(), "id", "s", 1000);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.verificationUri, "https://example.com/d");
  EXPECT_EQ(c.intervalSecs, 300);
  EXPECT_EQ(c.expiresInSecs, 900);
  c = oauth::RequestDeviceCode(server.Url(), "id", "s", 1000);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, "invalid_client: no such app");
  c = oauth::RequestDeviceCode(server.Url(), "id", "s", 1000);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error, "the device authorization endpoint answered HTTP 200 without a code");
  EXPECT_EQ(server.bodies.first(), "client_id=id&scope=a%20b");
}

TEST(DeviceGrant, PollsUntilTheUserIsDone) {
  const QByteArray pending = R"({"error":"authorization_pending"})", slow = R"({"error":"slow_down"})";
  const struct {
    const char* what;
    QList<TokenServer::Answer> answers;
    int expiresIn;
    int cancelAt;  // the wait that says no (0: none)
    Outcome outcome;
    QList<int> waits;
  } cases[] = {
      {"signed in", {{400, pending}, {400, slow}, {400, pending}, {200, R"({"access_token":"A","refresh_token":"R"})"}},
       60, 0, Outcome::Tokens, {2, 2, 7, 7}},
      {"declined", {{400, pending}, {400, R"({"error":"access_denied"})"}}, 60, 0, Outcome::Refused, {2, 2}},
      {"code expired at the server", {{400, R"({"error":"expired_token"})"}}, 60, 0, Outcome::Expired, {2}},
      {"lifetime waited", {{400, pending}, {400, pending}, {400, pending}, {400, pending}}, 5, 0, Outcome::Expired, {2, 2, 2}},
      {"cancelled", {{400, pending}}, 60, 2, Outcome::Failed, {2, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TokenServer server(c.answers);
    oauth::DeviceCode code;
    code.ok = true, code.deviceCode = "D1", code.intervalSecs = 2, code.expiresInSecs = c.expiresIn;
    QList<int> waits;
    const oauth::TokenAnswer a = oauth::PollDeviceToken(server.Url(), "id", "", code, [&](int secs) {
      waits << secs;
      return waits.size() != c.cancelAt;
    }, 1000);
    EXPECT_EQ(a.outcome, c.outcome) << a.error.toStdString();
    EXPECT_EQ(waits, c.waits);
    EXPECT_EQ(server.bodies.size(), c.cancelAt ? c.waits.size() - 1 : c.waits.size());
  }
}

}  // namespace
