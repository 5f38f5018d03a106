// The security entry of the profile extension block: absent means the original dialogue and
// writes back byte for byte; entries of other tags survive; the slot limit counts the block.
#include <gtest/gtest.h>

#include "ProfileSecurity.h"

TEST(ProfileSecurity, AbsentEntryIsTheOriginalDialogueAndWritesBackIdentically) {
  ProfileRecord p;
  p.Prfname = QStringLiteral("old");
  const QByteArray before = *conf::PackProfile(p);
  const ProfileSecurity s = conf::ReadProfileSecurity(*conf::UnpackProfile(before));
  EXPECT_EQ(s, ProfileSecurity());
  EXPECT_EQ(s.SmtpSecurity, 1);
  EXPECT_EQ(s.AuthMethod, 1);
  conf::WriteProfileSecurity(p, s);
  EXPECT_EQ(*conf::PackProfile(p), before);
}

TEST(ProfileSecurity, RoundTripKeepsOtherEntries) {
  ProfileRecord p;
  const QByteArray other("\x07\x00\x02\x00hi", 6);  // an entry of a later version
  p.Extension = other;
  ProfileSecurity s = ProfileSecurity::Automatic();
  s.VerifyCertificate = false;
  s.CaFile = QStringLiteral("/etc/ssl/ca é.pem");
  s.CertFingerprint = QStringLiteral("SHA256:AB");
  s.PasswordCommand = QStringLiteral("pass show mail");
  conf::WriteProfileSecurity(p, s);
  const auto back = conf::UnpackProfile(*conf::PackProfile(p));
  ASSERT_TRUE(back);
  EXPECT_EQ(conf::ReadProfileSecurity(*back), s);
  EXPECT_TRUE(back->Extension.endsWith(other));
  conf::WriteProfileSecurity(p, ProfileSecurity());
  EXPECT_EQ(p.Extension, other);
  // Bytes that are not entries read as no entry.
  p.Extension = QByteArray("\x01\x00\xFF\xFFz", 5);
  EXPECT_EQ(conf::ReadProfileSecurity(p), ProfileSecurity());
}

TEST(ProfileSecurity, TheBlockCountsAgainstTheSlot) {
  ProfileRecord p;
  p.MsgText = QString(kProfileMaxStringBytes - 10, u'x');
  ASSERT_TRUE(conf::PackProfile(p));
  ProfileSecurity s = ProfileSecurity::Automatic();
  conf::WriteProfileSecurity(p, s);
  EXPECT_GT(conf::ProfileStringBytes(p), kProfileMaxStringBytes);
  EXPECT_FALSE(conf::PackProfile(p));
}
