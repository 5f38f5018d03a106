// The stored tokens of a profile: kept private, read back, and renewed so that a rotated refresh
// token is never lost and a refusal is remembered.
#include "oauth/TokenStore.h"

#include "TokenServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using Outcome = oauth::TokenAnswer::Outcome;

class TokenStoreTest : public ::testing::Test {
 protected:
  oauth::StoredTokens Stored(const QString& profile = "Orders") {
    oauth::StoredTokens t;
    EXPECT_TRUE(store_.Load(profile, t));
    return t;
  }
  QTemporaryDir dir_;
  oauth::TokenStore store_{dir_.path()};
};

TEST_F(TokenStoreTest, SavedPrivatelyAndReadBack) {
  oauth::StoredTokens t{"R1", "A1", QDateTime(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC),
                        QDateTime(QDate(2026, 12, 8), QTime(9, 0), Qt::UTC), false};
  EXPECT_EQ(Stored(), oauth::StoredTokens()) << "not signed in yet";
  ASSERT_TRUE(store_.Save("Orders", t));
  EXPECT_EQ(Stored(), t);
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(store_.PathFor("Orders")).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(store_.PathFor("Orders"), store_.PathFor("orders"));
  EXPECT_TRUE(store_.PathFor("../a/b\n").startsWith(dir_.path() + "/VRLOAuth-")) << "a name never reshapes the path";

  // Another profile's file in its place, or a file too large, is not taken.
  ASSERT_TRUE(QFile::copy(store_.PathFor("Orders"), store_.PathFor("Other")));
  oauth::StoredTokens read;
  QString error;
  EXPECT_FALSE(store_.Load("Other", read, &error));
  EXPECT_TRUE(error.endsWith("not this profile's tokens")) << error.toStdString();
  QFile big(store_.PathFor("Big"));
  ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.write(QByteArray(65 * 1024, ' ')) > 0);
  big.close();
  EXPECT_FALSE(store_.Load("Big", read, &error));
}

TEST_F(TokenStoreTest, RenewKeepsWhatTheServerSays) {
  ASSERT_TRUE(store_.Save("Orders", {"R1", "", {}, {}, false}));
  TokenServer server({{200, R"({"access_token":"A1","refresh_token":"R2","expires_in":3600})"},
                      {200, R"({"access_token":"A2"})"},
                      {0, {}},
                      {400, R"({"error":"invalid_grant"})"}});
  const QDateTime before = QDateTime::currentDateTimeUtc();
  // The rotated refresh token is stored with the access token.
  EXPECT_EQ(store_.Renew("Orders", server.Url(), "id", {}, {}, 1000).outcome, Outcome::Tokens);
  oauth::StoredTokens t = Stored();
  EXPECT_EQ(t.refreshToken, "R2");
  EXPECT_EQ(t.accessToken, "A1");
  EXPECT_GE(t.renewed, before.addSecs(-1));
  EXPECT_NEAR(double(t.renewed.secsTo(t.accessExpires)), 3600.0, 1.0);
  // The server keeps the refresh token: the stored one stays.
  EXPECT_EQ(store_.Renew("Orders", server.Url(), "id", {}, {}, 1000).outcome, Outcome::Tokens);
  EXPECT_EQ(Stored().refreshToken, "R2");
  EXPECT_EQ(Stored().accessToken, "A2");
  // No answer changes nothing; a refusal is remembered and the access token dropped.
  t = Stored();
  EXPECT_EQ(store_.Renew("Orders", server.Url(), "id", {}, {}, 300).outcome, Outcome::Failed);
  EXPECT_EQ(Stored(), t);
  EXPECT_EQ(store_.Renew("Orders", server.Url(), "id", {}, {}, 1000).outcome, Outcome::Refused);
  EXPECT_TRUE(Stored().refused);
  EXPECT_TRUE(Stored().accessToken.isEmpty());
  EXPECT_EQ(server.bodies.size(), 4);
  EXPECT_TRUE(server.bodies[1].contains("refresh_token=R2")) << "the rotated token is the one used next";

  // Not signed in: nothing is sent.
  const oauth::TokenAnswer none = store_.Renew("Invoices", server.Url(), "id", {});
  EXPECT_EQ(none.outcome, Outcome::Refused);
  EXPECT_EQ(none.error, "not signed in");
  EXPECT_EQ(server.bodies.size(), 4);
}

}  // namespace
