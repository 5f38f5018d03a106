// The configuration as a JSON document: byte-identical files after export and import, the
// document's shape, and imports that fail half-way or replace more profiles by fewer.
#include "AppFolder.h"
#include "CfgTransfer.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileInbound.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"
#include "WinMsgProfile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + "/home";
    vrl::SetApplicationFolder(home_);
    crypto::SetKeyForTesting(7);
    // The configuration as the record operations themselves write it: an internet-mail
    // profile, a messaging one with a scrambled password, and one with an extension block.
    GlobalRecord g;
    g.AutoInit = true, g.PrcInterval = 10, g.PrcIntervalUnit = 1, g.UseLogFile = true, g.ConfigFlag = 1;
    g.LogFileName = "/var/log/vorlane.log", g.MaxMessageMB = 25, g.MaxAttachments = 0;
    g.ClusterDatabase = "host=db.example port=5432 dbname=vrl user=vrl", g.LeaseSeconds = 45;
    ASSERT_TRUE(WriteGlobalRecord(g));
    ProfileRecord a;
    a.PrfEnabled = true, a.Prfname = "Orders", a.HostType = 2, a.SmtpServer = "smtp.example.org";
    a.Pop3Server = "pop.example.org", a.UserName = "jörg", a.Pop3SmtpPws = "p\"w\\€", a.FromName = "Jörg";
    a.FromAddress = "jorg@example.org", a.SmtpRequiresLogin = true, a.Pop3TcpPort = 995;
    a.SmtpTcpPort = 65000, a.TimeOutSecs = 300, a.PrcInboundMessages = true, a.InboundDir = "/srv/in";
    a.FileExtention = "*.TXT", a.ResFilesExtention = "*.RES", a.OutboundMode = 2, a.OutboundDir = "/srv/out";
    a.OutFilesExtention = "*.INF", a.AdressLin = 1, a.Adress1Sep = "To:", a.SubjectLin = -1, a.MsgLin = -2;
    a.DeleteInterchange = true;
    ProfileRecord b;
    b.Prfname = "Büro", b.HostType = 1, b.WinMsgProfileName = "Outlook", b.WinMsgPws = Scramble("geheim€");
    b.PrcOutboundMessages = true, b.OutboundMode = 1, b.OutboundDir = "/srv/m", b.OutFilesExtention = "*.TXT";
    b.RenamedFilesExtention = "*.PRC", b.RecAddress = "to@example.org", b.Subject = "Daily";
    b.MsgText = "Line one\r\nLine two";
    ProfileRecord c = a;
    // An entry of a later version travels as it is, beside the security settings.
    c.Prfname = "With extension", c.Extension = QByteArray("\x07\x00\x06\x00tls=on", 10);
    ProfileSecurity sec;
    sec.SmtpSecurity = 2, sec.Pop3Security = 3, sec.VerifyCertificate = false, sec.AuthMethod = 3;
    sec.CertFingerprint = "SHA256:" + QString(64, 'A'), sec.PasswordCommand = "oauth2-token mail";
    conf::WriteProfileSecurity(c, sec);
    conf::WriteProfileUnattended(c, {true, 48, true, 10});
    ASSERT_TRUE(CreateProfilesFile());
    for (ProfileRecord* p : {&a, &b, &c}) ASSERT_TRUE(AddProfileRecord(*p));
    ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf_, error_)) << error_.toStdString();
  }
  void TearDown() override {
    crypto::SetKeyForTesting(0);
    vrl::SetApplicationFolder(QString());
  }
  QString Pcf() const { return home_ + "/VRL3PF.PCF"; }
  QString Gcf() const { return home_ + "/VRL3GCF.GCF"; }

  QTemporaryDir tmp_;
  QString home_;
  cfgtransfer::Configuration conf_;
  QString error_;
};

TEST_F(Transfer, ImportWritesTheSameBytesAsTheRecordOperations) {
  const QByteArray pcf = ReadAll(Pcf());
  const QByteArray gcf = ReadAll(Gcf());
  ASSERT_EQ(conf_.profiles.size(), 3);
  const QByteArray json = cfgtransfer::ToJson(conf_);

  ASSERT_TRUE(QFile::remove(Pcf()));
  ASSERT_TRUE(QFile::remove(Gcf()));
  cfgtransfer::Configuration parsed;
  ASSERT_TRUE(cfgtransfer::FromJson(json, parsed, error_)) << error_.toStdString();
  EXPECT_EQ(parsed, conf_);
  EXPECT_EQ(parsed.profiles[1].WinMsgPws.toLatin1(), crypto::ScrambleBytes("geheim\xE2\x82\xAC", 7));
  EXPECT_TRUE(parsed.profiles[0].WinMsgPws.isEmpty()) << "an empty password stays empty";
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(parsed, error_)) << error_.toStdString();
  EXPECT_EQ(ReadAll(Pcf()).toHex(), pcf.toHex());
  EXPECT_EQ(ReadAll(Gcf()).toHex(), gcf.toHex());
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporary files left";
}

TEST_F(Transfer, DocumentShape) {
  // Every field by its name, RecordNumber left out, an empty extension left out, passwords in
  // plain text.
  const QByteArray json = cfgtransfer::ToJson(conf_);
  QFile expected(VRL_TEST_DATA "/config/export.json");
  ASSERT_TRUE(expected.open(QIODevice::ReadOnly));
  QJsonObject root = QJsonDocument::fromJson(expected.readAll()).object();
  EXPECT_EQ(QJsonDocument::fromJson(json).object(), root) << json.constData();

  // A document written before LogMaxMB, MaxMessageMB, MaxAttachments, the cluster options and the
  // unattended settings existed is read; a profile without the latter gets those of a new profile.
  QJsonObject global = root["global"].toObject();
  for (const char* f : {"LogMaxMB", "MaxMessageMB", "MaxAttachments", "ClusterDatabase", "LeaseSeconds"})
    global.remove(f);
  root["global"] = global;
  QJsonArray profiles = root["profiles"].toArray();
  QJsonObject first = profiles[0].toObject();
  for (const char* f : {"RetryTransient", "RetryHours", "KeepOnServer", "KeepDays"}) first.remove(f);
  profiles[0] = first;
  root["profiles"] = profiles;
  cfgtransfer::Configuration parsed;
  ASSERT_TRUE(cfgtransfer::FromJson(QJsonDocument(root).toJson(), parsed, error_)) << error_.toStdString();
  EXPECT_EQ(conf::ReadProfileUnattended(parsed.profiles[0]), ProfileUnattended::NewProfile());
  conf::WriteProfileUnattended(parsed.profiles[0], {});
  EXPECT_EQ(parsed.profiles, conf_.profiles);
  EXPECT_EQ(parsed.global.MaxMessageMB, 0);
  EXPECT_EQ(parsed.global.MaxAttachments, 1000);
  EXPECT_EQ(parsed.global.ClusterDatabase, "");
  EXPECT_EQ(parsed.global.LeaseSeconds, 30);

  // The folders an attachment may come from travel as a list, and only when there are any.
  conf::WriteAttachmentFolders(conf_.profiles[0], {"/srv/orders", "/srv/a b"});
  cfgtransfer::Configuration again;
  ASSERT_TRUE(cfgtransfer::FromJson(cfgtransfer::ToJson(conf_), again, error_)) << error_.toStdString();
  EXPECT_EQ(conf::ReadAttachmentFolders(again.profiles[0]), (QStringList{"/srv/orders", "/srv/a b"}));
  EXPECT_EQ(again.profiles, conf_.profiles);
}

TEST_F(Transfer, FailedImportLeavesTheOldFiles) {
  const QByteArray gcf = ReadAll(Gcf());
  conf_.global.AutoExit = true;
  // A folder where the profiles file belongs: refused before the global file is replaced.
  ASSERT_TRUE(QFile::remove(Pcf()));
  ASSERT_TRUE(QDir().mkpath(Pcf()));
  EXPECT_FALSE(cfgtransfer::WriteConfiguration(conf_, error_));
  EXPECT_EQ(error_, "Error writing configuration file: \"" + Pcf() + "\" - Is a directory");
  EXPECT_EQ(ReadAll(Gcf()), gcf);
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary files removed";
  // An application folder that cannot be made.
  vrl::SetApplicationFolder(Gcf());
  EXPECT_FALSE(cfgtransfer::WriteConfiguration(conf_, error_));
  EXPECT_EQ(error_, "Error writing configuration file: \"" + Gcf() + "\" - Not a directory");
}

TEST_F(Transfer, ImportReplacesMoreProfilesByFewer) {
  conf_.profiles.remove(0, 2);
  conf_.profiles[0].RecordNumber = 2;
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(conf_, error_));
  EXPECT_EQ(ReadAll(Pcf()).size(), 10000) << "a new file, not the old one with stale slots";
  EXPECT_EQ(FindProfileByName("With extension"), 2);
  EXPECT_EQ(FindProfileByName("Orders"), -1);
}

// Defaults leave no entry; an older entry, or values this version does not know, read as the defaults.
TEST(ProfileInboundEntry, ShortOrUnknownEntriesReadAsTheDefaults) {
  ProfileRecord r;
  conf::WriteProfileInbound(r, {});
  EXPECT_TRUE(r.Extension.isEmpty());
  const struct { QByteArray entry; ProfileInbound read; } cases[] = {
      {QByteArray("\x04\x00imap", 6), {"imap", "INBOX", "delete", "", false}},
      {QByteArray("\x04\x00imap\x00\x00\x04\x00move", 14), {"imap", "INBOX", "move", "", false}},
      {QByteArray("\x04\x00smtp\x01\x00X\x03\x00" "all\x00\x00\x04\x00idle", 23), {"pop3", "X", "delete", "", true}},
  };
  for (const auto& c : cases) {
    conf::SetExtensionEntry(r, conf::kInboundTag, c.entry);
    EXPECT_EQ(conf::ReadProfileInbound(r), c.read) << c.entry.toHex().constData();
  }
}

// The profile editor's messaging button shows the Maildir, or says why it cannot.
TEST(WinMsgProfile, TheButtonSaysWhenThePathIsNotAMaildir) {
  QTemporaryDir d;
  ASSERT_TRUE(QDir().mkpath(d.path() + "/Mail/new"));
  QString problem;
  EXPECT_FALSE(qorvconf::OpenWinMsgProfile(d.path() + "/Mail/", &problem));
  EXPECT_EQ(problem, d.path() + "/Mail is not a Maildir (it has no cur/ folder)");
  EXPECT_FALSE(qorvconf::OpenWinMsgProfile("", &problem));
  EXPECT_EQ(problem, "No Maildir is named");
}

}  // namespace
