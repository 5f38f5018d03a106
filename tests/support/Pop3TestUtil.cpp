#include "Pop3TestUtil.h"

#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"
#include "mime/Pop3MimeParser.h"
#include "ScriptedServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace pop3test {

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    ADD_FAILURE() << "cannot read " << path.toStdString();
    return {};
  }
  return f.readAll();
}

QStringList CorpusNames() {
  QDir dir(QStringLiteral(VRL_TEST_DATA "/pop3"));
  QStringList names;
  for (const QString& f : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name))
    names << f.chopped(4);
  return names;
}

QString CorpusPath(const QString& name, const char* suffix) {
  return QStringLiteral(VRL_TEST_DATA "/pop3/") + name + QLatin1String(suffix);
}

QJsonObject Expected(const QString& name) {
  QJsonParseError err;
  const QJsonDocument doc = QJsonDocument::fromJson(ReadFile(CorpusPath(name, ".expected.json")), &err);
  EXPECT_EQ(err.error, QJsonParseError::NoError) << name.toStdString();
  return doc.object();
}

QByteArray SavedBytes(const Pop3AttachmentData& data) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("a"));
  QString error;
  EXPECT_TRUE(pop3mime::SaveAttachmentData(data, path, &error)) << error.toStdString();
  return ReadFile(path);
}

QByteArray AsRetrieved(const QByteArray& message) {
  if (message.isEmpty() || message.endsWith("\r\n")) return message;
  return message + "\r\n";
}

QByteArray RetrAnswer(const QByteArray& message) {
  return "+OK " + QByteArray::number(message.size()) + " octets\r\n" +
         vrltest::Scenario::dotStuff(message);
}

QString Describe(const Pop3Mail& m, const std::vector<Pop3MailAttachments>& atts) {
  QString s = QStringLiteral("header=%1\nfrom=%2\nto=%3\ndate=%4\nsubject=%5\nmessage=%6\nhtml=%7\nsize=%8\nn=%9\n")
                  .arg(m.Header, m.from, m.To, m.Date, m.Subject, m.Message, m.HTMLMessage)
                  .arg(m.Size)
                  .arg(m.AttachedFiles);
  for (const auto& a : atts)
    s += a.Name + QLatin1Char('=') +
         QString::fromLatin1(codec::DecodeContent(a.Data.Content(), a.Data.encoding).toHex()) +
         QLatin1Char('\n');
  return s;
}

Events::Events(POP3_InMail& client) {
  QObject::connect(&client, &POP3_InMail::Pop3OperationFailed, [this](const QString& t) { failed << t; });
}

}  // namespace pop3test
