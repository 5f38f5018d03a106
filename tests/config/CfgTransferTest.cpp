// The configuration as a JSON document: byte-identical files after export and import, the
// document's shape, the checks on import and an import that fails half-way.
#include "AppFolder.h"
#include "CfgTransfer.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"

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

ProfileRecord InternetProfile(const QString& name) {
  ProfileRecord p;
  p.PrfEnabled = true;
  p.Prfname = name;
  p.HostType = 2;
  p.SmtpServer = QStringLiteral("smtp.example.org");
  p.Pop3Server = QStringLiteral("pop.example.org");
  p.UserName = QStringLiteral("jörg");
  p.Pop3SmtpPws = QStringLiteral("p\"w\\€");
  p.FromName = QStringLiteral("Jörg");
  p.FromAddress = QStringLiteral("jorg@example.org");
  p.SmtpRequiresLogin = true;
  p.Pop3TcpPort = 995;
  p.SmtpTcpPort = 65000;
  p.TimeOutSecs = 300;
  p.PrcInboundMessages = true;
  p.InboundDir = QStringLiteral("/srv/in");
  p.FileExtention = QStringLiteral("*.TXT");
  p.ResFilesExtention = QStringLiteral("*.RES");
  p.OutboundMode = 2;
  p.OutboundDir = QStringLiteral("/srv/out");
  p.OutFilesExtention = QStringLiteral("*.INF");
  p.AdressLin = 1;
  p.Adress1Sep = QStringLiteral("To:");
  p.SubjectLin = -1;
  p.MsgLin = -2;
  p.DeleteInterchange = true;
  return p;
}

ProfileRecord MessagingProfile(const QString& name) {
  ProfileRecord p;
  p.Prfname = name;
  p.HostType = 1;
  p.WinMsgProfileName = QStringLiteral("Outlook");
  p.WinMsgPws = Scramble(QStringLiteral("geheim€"));
  p.PrcOutboundMessages = true;
  p.OutboundMode = 1;
  p.OutboundDir = QStringLiteral("/srv/m");
  p.OutFilesExtention = QStringLiteral("*.TXT");
  p.RenamedFilesExtention = QStringLiteral("*.PRC");
  p.RecAddress = QStringLiteral("to@example.org");
  p.Subject = QStringLiteral("Daily");
  p.MsgText = QStringLiteral("Line one\r\nLine two");
  return p;
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + QStringLiteral("/home");
    vrl::SetApplicationFolder(home_);
    crypto::SetKeyForTesting(7);
  }
  void TearDown() override {
    crypto::SetKeyForTesting(0);
    vrl::SetApplicationFolder(QString());
  }
  // The configuration written by the record operations themselves.
  void WriteWithRecordOperations() {
    GlobalRecord g;
    g.AutoInit = true;
    g.PrcInterval = 10;
    g.PrcIntervalUnit = 1;
    g.UseLogFile = true;
    g.LogFileName = QStringLiteral("/var/log/vorlane.log");
    g.ConfigFlag = 1;
    ASSERT_TRUE(WriteGlobalRecord(g));
    ASSERT_TRUE(CreateProfilesFile());
    ProfileRecord a = InternetProfile(QStringLiteral("Orders"));
    ProfileRecord b = MessagingProfile(QStringLiteral("Büro"));
    ProfileRecord c = InternetProfile(QStringLiteral("With extension"));
    c.Extension = QByteArray("\x00\x01\xFFtls=on", 9);
    ASSERT_TRUE(AddProfileRecord(a));
    ASSERT_TRUE(AddProfileRecord(b));
    ASSERT_TRUE(AddProfileRecord(c));
  }
  QString Pcf() const { return home_ + QStringLiteral("/VRL3PF.PCF"); }
  QString Gcf() const { return home_ + QStringLiteral("/VRL3GCF.GCF"); }

  QTemporaryDir tmp_;
  QString home_;
};

TEST_F(Transfer, ImportWritesTheSameBytesAsTheRecordOperations) {
  WriteWithRecordOperations();
  const QByteArray pcf = ReadAll(Pcf());
  const QByteArray gcf = ReadAll(Gcf());

  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error)) << error.toStdString();
  ASSERT_EQ(conf.profiles.size(), 3);
  const QByteArray json = cfgtransfer::ToJson(conf);

  ASSERT_TRUE(QFile::remove(Pcf()));
  ASSERT_TRUE(QFile::remove(Gcf()));
  cfgtransfer::Configuration parsed;
  ASSERT_TRUE(cfgtransfer::FromJson(json, parsed, error)) << error.toStdString();
  EXPECT_EQ(parsed, conf);
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(parsed, error)) << error.toStdString();
  EXPECT_EQ(ReadAll(Pcf()).toHex(), pcf.toHex());
  EXPECT_EQ(ReadAll(Gcf()).toHex(), gcf.toHex());
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporary files left";

  // Export again: the same document.
  cfgtransfer::Configuration again;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(again, error));
  EXPECT_EQ(cfgtransfer::ToJson(again), json);
}

TEST_F(Transfer, DocumentShape) {
  WriteWithRecordOperations();
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error));
  const QJsonObject root = QJsonDocument::fromJson(cfgtransfer::ToJson(conf)).object();
  EXPECT_EQ(root.keys(), (QStringList{"global", "profiles"}));
  const QJsonObject global = root.value(QStringLiteral("global")).toObject();
  EXPECT_EQ(global.size(), 12);
  EXPECT_EQ(global.value(QStringLiteral("LogMaxMB")).toInt(), 0) << "a record without the block: no limit";
  EXPECT_EQ(global.value(QStringLiteral("PrcInterval")).toInt(), 10);
  EXPECT_EQ(global.value(QStringLiteral("AutoInit")), QJsonValue(true));
  EXPECT_EQ(global.value(QStringLiteral("LogFileName")).toString(), QStringLiteral("/var/log/vorlane.log"));

  const QJsonArray profiles = root.value(QStringLiteral("profiles")).toArray();
  ASSERT_EQ(profiles.size(), 3);
  const QJsonObject orders = profiles[0].toObject();
  EXPECT_EQ(orders.size(), 43);  // every field but RecordNumber, no Extension
  EXPECT_FALSE(orders.contains(QStringLiteral("RecordNumber")));
  EXPECT_FALSE(orders.contains(QStringLiteral("Extension")));
  EXPECT_EQ(orders.value(QStringLiteral("Pop3SmtpPws")).toString(), QStringLiteral("p\"w\\€"));
  EXPECT_EQ(orders.value(QStringLiteral("SmtpTcpPort")).toInt(), 65000);
  EXPECT_EQ(orders.value(QStringLiteral("SubjectLin")).toInt(), -1);
  EXPECT_EQ(orders.value(QStringLiteral("WinMsgPws")).toString(), QString());
  const QJsonObject buero = profiles[1].toObject();
  EXPECT_EQ(buero.value(QStringLiteral("Prfname")).toString(), QStringLiteral("Büro"));
  EXPECT_EQ(buero.value(QStringLiteral("WinMsgPws")).toString(), QStringLiteral("geheim€"));
  const QJsonObject ext = profiles[2].toObject();
  EXPECT_EQ(ext.size(), 44);
  EXPECT_EQ(ext.value(QStringLiteral("Extension")).toString(), QStringLiteral("AAH/dGxzPW9u"));
}

TEST_F(Transfer, NothingConfiguredExportsEmpty) {
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error));
  EXPECT_EQ(conf, cfgtransfer::Configuration{});
  EXPECT_EQ(conf.global.ConfigFlag, 0);
}

TEST_F(Transfer, UnreadableFilesAreErrors) {
  WriteWithRecordOperations();
  QFile f(Pcf());
  ASSERT_TRUE(f.resize(5000 + 30));  // the first profile cut inside its fields
  cfgtransfer::Configuration conf;
  QString error;
  EXPECT_FALSE(cfgtransfer::ReadConfiguration(conf, error));
  EXPECT_EQ(error, QStringLiteral("Error reading configuration file: \"") + Pcf() + QStringLiteral("\""));

  ASSERT_TRUE(QFile::remove(Pcf()));
  QFile g(Gcf());
  ASSERT_TRUE(g.resize(10));
  EXPECT_FALSE(cfgtransfer::ReadConfiguration(conf, error));
  EXPECT_EQ(error, QStringLiteral("Error reading configuration file: \"") + Gcf() + QStringLiteral("\""));
}

TEST_F(Transfer, EmptyPasswordStaysEmptyAndOthersAreScrambled) {
  const QByteArray json = R"({"global": {"RunAtSysStartup": false, "AutoInit": false,
    "InitMinimized": false, "HideWhenMinimized": false, "AutoExit": false, "PrcInterval": 0,
    "PrcIntervalUnit": 0, "ShowErrorMsgs": false, "UseLogFile": false, "LogFileName": "",
    "ConfigFlag": 1}, "profiles": []})";
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::FromJson(json, conf, error)) << error.toStdString();
  EXPECT_TRUE(conf.profiles.isEmpty());

  WriteWithRecordOperations();
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error));
  QJsonObject root = QJsonDocument::fromJson(cfgtransfer::ToJson(conf)).object();
  cfgtransfer::Configuration parsed;
  ASSERT_TRUE(cfgtransfer::FromJson(QJsonDocument(root).toJson(), parsed, error));
  EXPECT_TRUE(parsed.profiles[0].WinMsgPws.isEmpty());
  EXPECT_EQ(parsed.profiles[1].WinMsgPws.toLatin1(), crypto::ScrambleBytes("geheim\xE2\x82\xAC", 7));
  EXPECT_EQ(parsed.profiles[1].RecordNumber, 3);
}

TEST_F(Transfer, FailedImportLeavesTheOldFiles) {
  WriteWithRecordOperations();
  const QByteArray gcf = ReadAll(Gcf());
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error));
  conf.global.AutoExit = true;

  // A folder where the profiles file belongs: refused before the global file is replaced.
  ASSERT_TRUE(QFile::remove(Pcf()));
  ASSERT_TRUE(QDir().mkpath(Pcf()));
  EXPECT_FALSE(cfgtransfer::WriteConfiguration(conf, error));
  EXPECT_EQ(error, QStringLiteral("Error writing configuration file: \"") + Pcf() + QStringLiteral("\""));
  EXPECT_EQ(ReadAll(Gcf()), gcf);
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary files removed";

  // An application folder that cannot be made.
  QFile plain(tmp_.path() + QStringLiteral("/plain"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  vrl::SetApplicationFolder(plain.fileName());
  EXPECT_FALSE(cfgtransfer::WriteConfiguration(conf, error));
}

TEST_F(Transfer, ImportReplacesMoreProfilesByFewer) {
  WriteWithRecordOperations();
  cfgtransfer::Configuration conf;
  QString error;
  ASSERT_TRUE(cfgtransfer::ReadConfiguration(conf, error));
  conf.profiles.remove(0, 2);
  conf.profiles[0].RecordNumber = 2;
  ASSERT_TRUE(cfgtransfer::WriteConfiguration(conf, error));
  EXPECT_EQ(ReadAll(Pcf()).size(), 10000) << "a new file, not the old one with stale slots";
  EXPECT_EQ(FindProfileByName(QStringLiteral("With extension")), 2);
  EXPECT_EQ(FindProfileByName(QStringLiteral("Orders")), -1);
}

}  // namespace
