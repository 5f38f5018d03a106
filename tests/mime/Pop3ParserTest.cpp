// Message parsing against the corpus in tests/data/pop3: every NAME.eml is parsed and compared
// with NAME.expected.json (fields present there must match exactly; attachments are compared by
// name and decoded bytes, written through real files).
#include "mime/Pop3MimeParser.h"
#include "Pop3TestUtil.h"
#include "VrlError.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>

using namespace pop3test;

namespace {

class CorpusTest : public ::testing::TestWithParam<QString> {};

void ExpectField(const QJsonObject& exp, const char* key, const QString& actual) {
  if (exp.contains(QLatin1String(key))) {
    EXPECT_EQ(actual.toStdString(), exp.value(QLatin1String(key)).toString().toStdString()) << key;
  }
}

TEST_P(CorpusTest, ParsesAsExpected) {
  const QString name = GetParam();
  const QByteArray eml = ReadFile(CorpusPath(name, ".eml"));
  const QJsonObject exp = Expected(name);
  Pop3Mail mail;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(eml, mail, atts);

  ExpectField(exp, "from", mail.from);
  ExpectField(exp, "to", mail.To);
  ExpectField(exp, "date", mail.Date);
  ExpectField(exp, "subject", mail.Subject);
  ExpectField(exp, "message", mail.Message);
  ExpectField(exp, "html", mail.HTMLMessage);
  EXPECT_EQ(mail.Size, eml.size());

  const QJsonArray expAtts = exp.value(QLatin1String("attachments")).toArray();
  ASSERT_EQ(mail.AttachedFiles, expAtts.size());
  ASSERT_EQ(static_cast<qsizetype>(atts.size()), expAtts.size());
  for (qsizetype i = 0; i < expAtts.size(); ++i) {
    const QJsonObject ea = expAtts[i].toObject();
    const auto& a = atts[static_cast<size_t>(i)];
    EXPECT_EQ(a.Name.toStdString(), ea.value(QLatin1String("name")).toString().toStdString()) << i;
    QByteArray want;
    if (ea.contains(QLatin1String("data"))) want = ea.value(QLatin1String("data")).toString().toUtf8();
    else want = QByteArray::fromBase64(ea.value(QLatin1String("data_base64")).toString().toLatin1());
    EXPECT_EQ(SavedBytes(a.Data).toHex().toStdString(), want.toHex().toStdString()) << a.Name.toStdString();
    // The part as received begins with its own header lines (or the uuencode "begin" line).
    EXPECT_LE(a.Data.partBegin, a.Data.contentBegin);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTest, ::testing::ValuesIn(CorpusNames()),
                         [](const ::testing::TestParamInfo<QString>& info) {
                           return info.param.toStdString();
                         });

TEST(Pop3Parser, CorpusIsThere) { EXPECT_GE(CorpusNames().size(), 20); }

TEST(Pop3Parser, HeaderFieldHoldsUnfoldedBlock) {
  const QByteArray eml = "From: a\r\nSubject: x\r\n y\r\nX-Other: 1\r\n\r\nbody\r\n";
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(eml, m, atts);
  EXPECT_EQ(m.Header, QStringLiteral("From: a\r\nSubject: x y\r\nX-Other: 1"));
  EXPECT_EQ(m.Subject, QStringLiteral("x y"));
}

TEST(Pop3Parser, LastHeaderOfANameWins) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage("Subject: first\r\nSubject: second\r\n\r\n", m, atts);
  EXPECT_EQ(m.Subject, QStringLiteral("second"));
}

TEST(Pop3Parser, RecordsAreEmptiedBeforeEachMessage) {
  Pop3Mail m;
  m.Subject = QStringLiteral("old");
  m.AttachedFiles = 4;
  std::vector<Pop3MailAttachments> atts(3);
  pop3mime::ParseMessage("From: x\r\n\r\nhi\r\n", m, atts);
  EXPECT_TRUE(m.Subject.isEmpty());
  EXPECT_EQ(m.AttachedFiles, 0);
  EXPECT_TRUE(atts.empty());
}

TEST(Pop3Parser, EmptyMessageYieldsNothing) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(QByteArray(), m, atts);
  EXPECT_EQ(m.Size, 0);
  EXPECT_TRUE(m.Message.isEmpty());
  EXPECT_TRUE(atts.empty());
}

TEST(Pop3Parser, WhichPartsAreBodiesAndWhichAreFiles) {
  struct {
    const char* headers;
    const char* kind;  // "text", "html" or "file"
  } cases[] = {
      {"", "text"},
      {"Content-Type: text/plain\r\n", "text"},
      {"Content-Type: TEXT/PLAIN; charset=us-ascii\r\n", "text"},
      {"Content-Type: text/html\r\n", "html"},
      {"Content-Type: text/enriched\r\n", "text"},
      {"Content-Type: multipart/mixed\r\n", "text"},  // no boundary: kept as text
      {"Content-Type: text/plain; name=a.txt\r\n", "file"},
      {"Content-Type: text/html\r\nContent-Disposition: attachment\r\n", "file"},
      {"Content-Type: text/plain\r\nContent-Disposition: inline; filename=b.txt\r\n", "file"},
      {"Content-Type: text/plain\r\nContent-Disposition: inline\r\n", "text"},
      {"Content-Type: application/octet-stream\r\n", "file"},
      {"Content-Type: application/vnd.oasis.opendocument.text\r\n", "file"},
      {"Content-Type: message/rfc822\r\n", "file"},
      {"Content-Type: image/png\r\nContent-Disposition: inline\r\n", "file"},
  };
  for (const auto& c : cases) {
    const QByteArray eml = QByteArray("Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n") +
                           c.headers + "\r\nPAYLOAD\r\n--q--\r\n";
    Pop3Mail m;
    std::vector<Pop3MailAttachments> atts;
    pop3mime::ParseMessage(eml, m, atts);
    const char* kind = !atts.empty() ? "file" : !m.HTMLMessage.isEmpty() ? "html" : "text";
    EXPECT_STREQ(kind, c.kind) << c.headers;
    if (!strcmp(kind, "text")) {
      EXPECT_EQ(m.Message, QStringLiteral("PAYLOAD")) << c.headers;
    }
  }
}

// Builds multipart containers nested n deep around one text part.
QByteArray Nested(int n) {
  QByteArray head = "Subject: deep\r\n";
  QByteArray tail;
  for (int i = 0; i < n; ++i) {
    const QByteArray b = "b" + QByteArray::number(i);
    head += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
    tail = "\r\n--" + b + "--\r\n" + tail;
  }
  return head + "Content-Type: text/plain\r\n\r\ninnermost" + tail;
}

TEST(Pop3Parser, NestingWithinTheCapIsOpened) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(Nested(pop3mime::kMaxMultipartDepth), m, atts);
  EXPECT_EQ(m.Message, QStringLiteral("innermost"));
  EXPECT_TRUE(atts.empty());
}

TEST(Pop3Parser, NestingBeyondTheCapIsKeptWholeAsOneAttachment) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(Nested(5000), m, atts);
  EXPECT_EQ(m.Subject, QStringLiteral("deep"));
  ASSERT_EQ(atts.size(), 1u);
  EXPECT_EQ(atts[0].Name, QStringLiteral("unnamed"));
  EXPECT_TRUE(SavedBytes(atts[0].Data).contains("innermost"));
}

TEST(Pop3Parser, AbsurdHeaderLinesAndManyPartsStayLinear) {
  // A 4 MB header line and 20000 empty parts: parsed, nothing lost, no crash.
  QByteArray eml = "Subject: " + QByteArray(4 << 20, 'x') + "\r\n" +
                   "Content-Type: multipart/mixed; boundary=z\r\n\r\n";
  for (int i = 0; i < 20000; ++i) eml += "--z\r\n\r\n";
  eml += "--z\r\nContent-Type: application/x-last; name=last.bin\r\n\r\nL\r\n--z--\r\n";
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(eml, m, atts);
  EXPECT_EQ(m.Subject.size(), 4 << 20);
  ASSERT_EQ(atts.size(), 1u);
  EXPECT_EQ(atts[0].Name, QStringLiteral("last.bin"));
}

TEST(Pop3Parser, AttachmentsShareTheMessageBuffer) {
  const QByteArray eml = ReadFile(CorpusPath(QStringLiteral("nested_related"), ".eml"));
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(eml, m, atts);
  ASSERT_EQ(atts.size(), 2u);
  EXPECT_EQ(atts[0].Data.buffer.constData(), eml.constData());
  EXPECT_EQ(atts[1].Data.buffer.constData(), eml.constData());
  EXPECT_TRUE(atts[1].Data.Part().startsWith("Content-Type: application/msword"));
}

// ---- saving ----

struct SaveFixture : ::testing::Test {
  QTemporaryDir dir;
  Pop3AttachmentData data;
  void SetUp() override {
    data.buffer = "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8=";
    data.partBegin = 0;
    data.contentBegin = data.buffer.indexOf("aGVs");
    data.end = data.buffer.size();
    data.encoding = Pop3TransferEncoding::Base64;
  }
  void ExpectError(const QString& path, uint32_t code, const char* text) {
    try {
      QString err;
      pop3mime::SaveAttachmentData(data, path, &err);
      ADD_FAILURE() << "no error for " << path.toStdString();
    } catch (const vrl::VrlError& e) {
      EXPECT_EQ(e.Number(), vrl::ErrNum(code));
      EXPECT_EQ(e.Description(), QLatin1String(text));
      EXPECT_EQ(e.Source(), QStringLiteral("Vorlane POP3 & SMTP Engine 3.1"));
    }
  }
};

TEST_F(SaveFixture, WritesDecodedBytes) {
  const QString path = dir.filePath(QStringLiteral("out.txt"));
  QString err;
  EXPECT_TRUE(pop3mime::SaveAttachmentData(data, path, &err));
  EXPECT_EQ(ReadFile(path), QByteArray("hello"));
}

TEST_F(SaveFixture, ExistingFileIsRefusedAndLeftUnchanged) {
  const QString path = dir.filePath(QStringLiteral("taken.txt"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("keep me");
  f.close();
  ExpectError(path, 0x80040210u, "File already exists!");
  EXPECT_EQ(ReadFile(path), QByteArray("keep me"));
}

TEST_F(SaveFixture, SymlinkAtThePathIsNeverFollowed) {
  const QString target = dir.filePath(QStringLiteral("target"));
  const QString link = dir.filePath(QStringLiteral("link"));
  ASSERT_TRUE(QFile::link(target, link));  // dangling
  ExpectError(link, 0x80040210u, "File already exists!");
  EXPECT_FALSE(QFile::exists(target));
}

TEST_F(SaveFixture, MissingFolderIsPathNotFound) {
  ExpectError(dir.filePath(QStringLiteral("no/such/folder/x.bin")), 0x8004020Fu, "Path not found!");
  ExpectError(dir.filePath(QStringLiteral("x/")), 0x8004020Fu, "Path not found!");
}

TEST_F(SaveFixture, LargeAttachmentDecodesAcrossBlocks) {
  QByteArray payload(3 * 1024 * 1024 + 7, Qt::Uninitialized);
  for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 131) ^ (i >> 7));
  QByteArray b64 = payload.toBase64();
  QByteArray wrapped;
  for (qsizetype i = 0; i < b64.size(); i += 76) wrapped += b64.mid(i, 76) + "\r\n";
  data.buffer = "\r\n" + wrapped;
  data.contentBegin = 2;
  data.end = data.buffer.size();
  EXPECT_EQ(SavedBytes(data), payload);
}

}  // namespace
