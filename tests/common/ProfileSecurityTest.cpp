// The security and unattended entries of the profile extension block: absent means the original
// behaviour and writes back byte for byte; entries of other tags survive; the slot limit counts
// the block; the rule a list of attachment folders meets.
#include <gtest/gtest.h>

#include "ProfileSecurity.h"
#include "ProfileUnattended.h"

TEST(ProfileSecurity, AbsentEntryIsTheOriginalDialogueAndWritesBackIdentically) {
  ProfileRecord p;
  p.Prfname = QStringLiteral("old");
  const QByteArray before = *conf::PackProfile(p);
  const ProfileSecurity s = conf::ReadProfileSecurity(*conf::UnpackProfile(before));
  EXPECT_EQ(s, ProfileSecurity());
  EXPECT_EQ(s.SmtpSecurity, 1);
  EXPECT_EQ(s.AuthMethod, 1);
  conf::WriteProfileSecurity(p, s);
  EXPECT_EQ(conf::ReadProfileUnattended(p), ProfileUnattended());
  EXPECT_FALSE(ProfileUnattended().RetryTransient);
  conf::WriteProfileUnattended(p, ProfileUnattended());
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
  ProfileUnattended u{true, 300, true, 7};
  conf::WriteProfileUnattended(p, u);
  conf::WriteProfileSecurity(p, s);
  const auto back = conf::UnpackProfile(*conf::PackProfile(p));
  ASSERT_TRUE(back);
  EXPECT_EQ(conf::ReadProfileSecurity(*back), s);
  EXPECT_EQ(conf::ReadProfileUnattended(*back), u);
  // In tag order whatever was written first.
  EXPECT_TRUE(back->Extension.endsWith(QByteArray("\x02\x00\x08\x00\xFF\xFF\x2C\x01\xFF\xFF\x07\x00", 12) + other));
  conf::WriteProfileSecurity(p, ProfileSecurity());
  conf::WriteProfileUnattended(p, ProfileUnattended());
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

// The rule the import and the editor share: absolute names without control characters, the list
// (one a line) within the limit counted in UTF-8 bytes.
TEST(ProfileUnattended, AttachmentFolderListRule) {
  using F = conf::FolderListFault;
  const auto a = [](qsizetype n) { return QStringLiteral("/") + QString(n, u'a'); };
  const auto e = [](qsizetype n) { return QStringLiteral("/") + QString(n, u'é'); };  // two bytes each
  const struct {
    QStringList folders;
    F fault;
    qsizetype at;
  } rows[] = {
      {{}, F::None, -1},
      {{"/", "/srv/a b"}, F::None, -1},
      {{"/srv", "srv"}, F::BadName, 1},
      {{""}, F::BadName, 0},
      {{"/srv/a\tb"}, F::BadName, 0},
      {{"/srv/a\x7f"}, F::BadName, 0},
      {{a(1023)}, F::None, -1},
      {{a(1024)}, F::TooLong, -1},
      {{e(511)}, F::None, -1},
      {{e(512)}, F::TooLong, -1},
      {{"/a", a(1020)}, F::None, -1},  // 2 + 1 + 1021
      {{"/a", a(1021)}, F::TooLong, -1},
  };
  for (const auto& row : rows) {
    qsizetype at = -1;
    EXPECT_EQ(conf::CheckAttachmentFolders(row.folders, &at), row.fault) << row.folders.join(u'|').left(40).toStdString();
    EXPECT_EQ(at, row.at) << row.folders.join(u'|').left(40).toStdString();
  }
}
