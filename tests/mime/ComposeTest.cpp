// Composition: whole messages as they cross the wire after DATA, sent by SMTP_OutMail to the
// scripted server with a fixed clock. The cases (properties, attachment files and what a reader
// must find) are data in tests/data/smtp/compose_cases.json; each message must equal its golden
// file NAME.eml there byte for byte, and Python's email package must read the case's
// expectations back from it (check_email.py).
//
// VRL_UPDATE_GOLDEN=1 rewrites the golden files from the current output.
#include "SmtpTestUtil.h"
#include "mime/MimeCompose.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

const QString kData = QStringLiteral(VRL_TEST_DATA "/smtp/");

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The properties a case may set, named after their setters.
void Set(SMTP_OutMail& m, const QString& key, const QJsonValue& v) {
  using M = SMTP_OutMail;
  const std::pair<const char*, void (M::*)(const QString&)> texts[] = {
      {"FromDisplayName", &M::SetFromDisplayName}, {"Recipient", &M::SetRecipient}, {"Subject", &M::SetSubject},
      {"RecipientDisplayName", &M::SetRecipientDisplayName}, {"CcRecipient", &M::SetCcRecipient},
      {"BccRecipient", &M::SetBccRecipient}, {"ReplyToAddress", &M::SetReplyToAddress}, {"Message", &M::SetMessage},
      {"ContentBase", &M::SetContentBase}};
  for (const auto& [name, setter] : texts)
    if (key == QLatin1String(name)) return (m.*setter)(v.toString());
  if (key == QLatin1String("Priority")) return m.SetPriority(v.toInt());
  if (key == QLatin1String("Receipt")) return m.SetReceipt(v.toBool());
  if (key == QLatin1String("AsHTML")) return m.SetAsHTML(v.toBool());
  if (key == QLatin1String("EncodeType")) return m.SetEncodeType(M::ENCODE_METHOD(v.toInt()));
  ADD_FAILURE() << "unknown property " << key.toStdString();
}

class Compose : public ::testing::Test {
 protected:
  void SetUp() override { UseFixedClockInUtc(); }
  void TearDown() override { vrl::SetNowForTesting({}); }
};

TEST_F(Compose, GoldenMessagesReadBackByPython) {
  const QJsonArray cases = QJsonDocument::fromJson(ReadAll(kData + QStringLiteral("compose_cases.json"))).array();
  ASSERT_FALSE(cases.isEmpty());
  const bool update = qEnvironmentVariableIntValue("VRL_UPDATE_GOLDEN") == 1;
  QTemporaryDir files, out;
  for (const QJsonValue& value : cases) {
    const QJsonObject c = value.toObject();
    const QString name = c[QLatin1String("name")].toString();
    SCOPED_TRACE(name.toStdString());
    QStringList paths;
    for (const QJsonValue& a : c[QLatin1String("attachments")].toArray()) {
      paths << files.filePath(a[QLatin1String("name")].toString());
      QFile::remove(paths.last());
      ASSERT_TRUE(QFile::copy(kData + QStringLiteral("files/") + a[QLatin1String("file")].toString(), paths.last()));
    }
    QList<QByteArray> rcpts;
    for (const QJsonValue& r : c[QLatin1String("rcpts")].toArray()) rcpts << r.toString().toLatin1();
    ScriptedServer server({OneMessage(rcpts)});
    SMTP_OutMail m;
    Recorder rec(m);
    Configure(m, server.port());
    const QJsonObject set = c[QLatin1String("set")].toObject();
    for (auto it = set.begin(); it != set.end(); ++it) Set(m, it.key(), it.value());
    if (!paths.isEmpty()) m.SetAttachment(paths.join(u';'));
    EXPECT_TRUE(m.send()) << rec.failures.join(u'|').toStdString();
    EXPECT_TRUE(server.waitDone());
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
    ASSERT_EQ(server.data(0).size(), 1u);
    const QByteArray wire = server.data(0).front();
    ASSERT_TRUE(WriteAll(out.filePath(name + QStringLiteral(".eml")), wire));
    const QString golden = kData + name + QStringLiteral(".eml");
    if (update) {
      ASSERT_TRUE(WriteAll(golden, wire));
      continue;
    }
    const QList<QByteArray> sent = wire.split('\n'), want = ReadAll(golden).split('\n');
    for (qsizetype i = 0; i < std::max(sent.size(), want.size()); ++i) {
      if (sent.value(i) == want.value(i)) continue;
      ADD_FAILURE() << "line " << i + 1 << "\n  sent:   " << sent.value(i).toStdString()
                    << "\n  golden: " << want.value(i).toStdString();
      break;
    }
  }
  const QString python = QStringLiteral("/usr/bin/python3");
  if (!QFile::exists(python)) GTEST_SKIP() << "no /usr/bin/python3: golden files only";
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(python, {QStringLiteral(VRL_SOURCE_DIR "/tests/mime/check_email.py"), kData, out.path()});
  ASSERT_TRUE(p.waitForFinished(60000));
  const std::string output = QString::fromUtf8(p.readAll()).toStdString();
  EXPECT_EQ(p.exitCode(), 0) << output;
  EXPECT_NE(output.find("checked " + std::to_string(cases.size()) + " messages"), std::string::npos) << output;
}

// The parts the fixed clock and the golden messages leave open.
TEST(ComposeParts, ZonesBoundariesAndEmbeddedReferences) {
  const QDateTime now = FixedNow();
  EXPECT_EQ(mimecompose::DateText(now, -(3 * 3600 + 1800)), "Sun, 6 Dec 2026 04:30:43 -0330");
  EXPECT_EQ(mimecompose::ZoneSuffix(-1800), "-0030");
  EXPECT_EQ(mimecompose::ZoneSuffix(19800), "+0530");
  EXPECT_NE(mimecompose::MakeBoundary(now.addMSecs(1)), mimecompose::MakeBoundary(now));
  std::vector<mimecompose::AttachmentInfo> atts(3);
  atts[0].name = QStringLiteral("logo.gif");
  atts[1].name = QStringLiteral("report.pdf");
  atts[2].name = QStringLiteral("a.png");
  QString body = QStringLiteral("<img src=\"images/LOGO.GIF\"> logo.gif report.pdf<img src='x/a.png'>"
                                "<img src=img/ba.png>");
  EXPECT_TRUE(mimecompose::MarkEmbedded(body, atts));
  EXPECT_EQ(body, QStringLiteral("<img src=\"cid:logo.gif\"> logo.gif report.pdf<img src='cid:a.png'>"
                                 "<img src=img/ba.png>"));
  EXPECT_TRUE(atts[0].embedded && !atts[1].embedded && atts[2].embedded);
}

}  // namespace
