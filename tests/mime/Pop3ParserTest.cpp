// Received messages: the corpus in tests/data/pop3 (every NAME.eml parsed and compared with
// NAME.expected.json), MIME parameters and safe names, part classification, nesting and size
// limits, and saving attachments into files.
#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"
#include "mime/Pop3MimeParser.h"
#include "Pop3TestUtil.h"
#include "VrlError.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pop3test;
using namespace pop3mime;

namespace {

// A table of tests/data/mime/vectors.json.
QJsonArray Vectors(const char* table) {
  const QByteArray json = ReadFile(QStringLiteral(VRL_TEST_DATA "/mime/vectors.json"));
  const QJsonValue rows = QJsonDocument::fromJson(json)[QLatin1String(table)];
  EXPECT_FALSE(rows.toArray().isEmpty()) << table;
  return rows.toArray();
}

struct Parsed {
  Pop3Mail mail;
  std::vector<Pop3MailAttachments> atts;
  explicit Parsed(const QByteArray& eml) { ParseMessage(eml, mail, atts); }
};

class CorpusTest : public ::testing::TestWithParam<QString> {};

TEST_P(CorpusTest, ParsesAsExpected) {
  const QByteArray eml = ReadFile(CorpusPath(GetParam(), ".eml"));
  const QJsonObject exp = Expected(GetParam());
  const Parsed p(eml);
  const std::pair<const char*, QString> fields[] = {{"from", p.mail.from},       {"to", p.mail.To},
                                                    {"date", p.mail.Date},       {"subject", p.mail.Subject},
                                                    {"message", p.mail.Message}, {"html", p.mail.HTMLMessage}};
  for (const auto& [key, actual] : fields) EXPECT_EQ(actual, exp[QLatin1String(key)].toString(actual)) << key;
  EXPECT_EQ(p.mail.Size, eml.size());
  const QJsonArray expAtts = exp[QLatin1String("attachments")].toArray();
  ASSERT_EQ(p.mail.AttachedFiles, expAtts.size());
  ASSERT_EQ(static_cast<qsizetype>(p.atts.size()), expAtts.size());
  for (qsizetype i = 0; i < expAtts.size(); ++i) {
    const QJsonObject ea = expAtts[i].toObject();
    const auto& a = p.atts[static_cast<size_t>(i)];
    EXPECT_EQ(a.Name, ea[QLatin1String("name")].toString());
    const QByteArray want = ea.contains(QLatin1String("data"))
                                ? ea[QLatin1String("data")].toString().toUtf8()
                                : QByteArray::fromBase64(ea[QLatin1String("data_base64")].toString().toLatin1());
    EXPECT_EQ(SavedBytes(a.Data).toHex(), want.toHex()) << a.Name.toStdString();
    EXPECT_LE(a.Data.partBegin, a.Data.contentBegin);  // the part begins with its own header
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTest, ::testing::ValuesIn(CorpusNames()),
                         [](const auto& info) { return info.param.toStdString(); });

TEST(Pop3Parser, HeaderBlockUnfoldedLastNameWinsRecordsEmptied) {
  Pop3Mail m;
  m.AttachedFiles = 4;
  std::vector<Pop3MailAttachments> atts(3);
  ParseMessage("From: a\r\nSubject: x\r\n y\r\nSubject: z\r\n\r\nbody\r\n", m, atts);
  EXPECT_EQ(m.Header, QStringLiteral("From: a\r\nSubject: x y\r\nSubject: z"));
  EXPECT_EQ(m.Subject, QStringLiteral("z"));
  EXPECT_EQ(m.AttachedFiles, 0);
  EXPECT_TRUE(atts.empty());
  ParseMessage(QByteArray(), m, atts);
  EXPECT_EQ(m.Size, 0);
  EXPECT_TRUE(m.Subject.isEmpty() && m.Message.isEmpty());
}

TEST(Pop3Parser, WhichPartsAreBodiesAndWhichAreFiles) {
  for (const QJsonValue& v : Vectors("parts")) {
    const QByteArray headers = v[0].toString().toLatin1();
    const Parsed p("Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n" + headers + "\r\nPAYLOAD\r\n--q--\r\n");
    const std::string kind = !p.atts.empty() ? "file" : !p.mail.HTMLMessage.isEmpty() ? "html" : "text";
    EXPECT_EQ(kind, v[1].toString().toStdString()) << headers.constData();
    EXPECT_TRUE(kind != "text" || p.mail.Message == QStringLiteral("PAYLOAD")) << headers.constData();
  }
}

TEST(Pop3Parser, ContentFieldParameters) {
  const ContentField f = ParseContentField(
      "Multipart/Mixed; Boundary=\"a;b\\\"c\"; charset = utf-8 ; junk; name=two words ; boundary=second");
  EXPECT_EQ(f.value, QByteArray("multipart/mixed"));
  ASSERT_TRUE(f.Param("boundary") && f.Param("charset") && f.Param("name"));
  EXPECT_EQ(*f.Param("boundary"), QByteArray("a;b\"c"));
  EXPECT_EQ(*f.Param("charset"), QByteArray("utf-8"));
  EXPECT_EQ(*f.Param("name"), QByteArray("two words"));
  EXPECT_FALSE(f.Param("junk"));
  EXPECT_EQ(*ParseContentField("text/plain; name=\"unterminated").Param("name"), QByteArray("unterminated"));
  for (const QJsonValue& v : Vectors("param_text")) {
    const QByteArray field = v[0].toString().toLatin1();
    EXPECT_EQ(ParamText(ParseContentField(field), "name").value_or(QStringLiteral("-")), v[1].toString()) << field.data();
  }
  EXPECT_FALSE(ParamText(ParseContentField("x; filename=a"), "name").has_value());
}

TEST(Pop3Parser, SafeNames) {
  for (const QJsonValue& v : Vectors("safe_names"))
    EXPECT_EQ(SafeAttachmentName(v[0].toString()), v[1].toString()) << v[0].toString().toStdString();
  // Overlong names are cut to 200 bytes between characters, keeping the extension.
  const QString cut = SafeAttachmentName(QString(300, u'\u00e9') + QStringLiteral(".pdf"));
  EXPECT_LE(cut.toUtf8().size(), 200);
  EXPECT_TRUE(cut.startsWith(u'\u00e9') && cut.endsWith(QStringLiteral(".pdf")));
  const QString emoji = SafeAttachmentName(QStringLiteral("\U0001F600").repeated(100));
  EXPECT_LE(emoji.toUtf8().size(), 200);
  EXPECT_EQ(emoji.toUtf8().size() % 4, 0);
}

// Multipart containers nested n deep around one text part.
QByteArray Nested(int n) {
  QByteArray head = "Subject: deep\r\n", tail;
  for (int i = 0; i < n; ++i) {
    const QByteArray b = "b" + QByteArray::number(i);
    head += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
    tail = "\r\n--" + b + "--\r\n" + tail;
  }
  return head + "Content-Type: text/plain\r\n\r\ninnermost" + tail;
}

TEST(Pop3Parser, NestingBeyondTheCapIsKeptWholeAsOneAttachment) {
  const Parsed within(Nested(kMaxMultipartDepth));
  EXPECT_EQ(within.mail.Message, QStringLiteral("innermost"));
  EXPECT_TRUE(within.atts.empty());
  const Parsed beyond(Nested(5000));
  ASSERT_EQ(beyond.atts.size(), 1u);
  EXPECT_EQ(beyond.atts[0].Name, QStringLiteral("unnamed"));
  EXPECT_TRUE(SavedBytes(beyond.atts[0].Data).contains("innermost"));
}

TEST(Pop3Parser, BodyTextIsWholeAcrossDecodingBlocks) {
  // Bodies are decoded and converted in blocks of 64 KiB: nothing may change at their seams.
  const QByteArray euros = QString(30000, QChar(0x20AC)).toUtf8();  // 3 bytes each: one is split
  const QByteArray as(codec::kDecodeBlock - 1, 'a');
  const struct {
    const char* what;
    QByteArray headers, body, text;
  } cases[] = {
      {"byte-order mark dropped", "", "\xEF\xBB\xBFhello\r\n", "hello\r\n"},
      {"character split between blocks", "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n",
       euros.toBase64(), euros},
      {"CR ends a block, LF starts the next", "Content-Transfer-Encoding: quoted-printable\r\n", as + "\r\nb", as + "\r\nb"},
      {"NUL dropped before a bare LF", "Content-Type: text/plain; charset=iso-8859-1\r\n", QByteArray("caf\xE9") + '\0' + "\nx\r" + '\0' + "\ny",
       "caf\xC3\xA9\r\nx\r\ny"},
      {"undeclared 8-bit text", "", "caf\xE9\r\n", "caf\xC3\xA9\r\n"},
  };
  for (const auto& c : cases) {
    const Parsed p("Subject: s\r\n" + c.headers + "\r\n" + c.body);
    EXPECT_EQ(p.mail.Message, c.text) << c.what;
  }
}

TEST(Pop3Parser, AbsurdHeaderLinesAndManyPartsStayLinear) {
  QByteArray eml = "Subject: " + QByteArray(4 << 20, 'x') + "\r\nContent-Type: multipart/mixed; boundary=z\r\n\r\n";
  eml += QByteArray("--z\r\n\r\n").repeated(20000);
  eml += "--z\r\nContent-Type: application/x-last; name=last.bin\r\n\r\nL\r\n--z--\r\n";
  const Parsed p(eml);
  EXPECT_EQ(p.mail.Subject.size(), pop3mime::kMaxFieldValue) << "a field keeps its bound";
  ASSERT_EQ(p.atts.size(), 1u);
  EXPECT_EQ(p.atts[0].Name, QStringLiteral("last.bin"));
  EXPECT_EQ(p.atts[0].Data.buffer.constData(), eml.constData()) << "attachments share the message's buffer";
}

struct Save : ::testing::Test {
  QTemporaryDir dir;
  Pop3AttachmentData data;
  void SetUp() override {
    data.buffer = "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8=";
    data.contentBegin = data.buffer.indexOf("aGVs");
    data.end = data.buffer.size();
    data.encoding = Pop3TransferEncoding::Base64;
  }
  // The error SaveAttachmentData throws for the name: its number in hexadecimal and its text.
  std::string Error(const QString& name) {
    QString err;
    try {
      SaveAttachmentData(data, dir.filePath(name), &err);
    } catch (const vrl::VrlError& e) {
      return QStringLiteral("%1 %2").arg(uint32_t(e.Number()), 0, 16).arg(e.Description()).toStdString();
    }
    return "no error";
  }
};

TEST_F(Save, RefusesExistingFilesLinksAndMissingFolders) {
  QFile f(dir.filePath(QStringLiteral("taken.txt")));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("keep me") == 7);
  f.close();
  EXPECT_EQ(Error(QStringLiteral("taken.txt")), "80040210 File already exists!");
  EXPECT_EQ(ReadFile(f.fileName()), QByteArray("keep me"));
  ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("target")), dir.filePath(QStringLiteral("link"))));  // dangling
  EXPECT_EQ(Error(QStringLiteral("link")), "80040210 File already exists!");
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("target"))));
  EXPECT_EQ(Error(QStringLiteral("no/such/folder/x.bin")), "8004020f Path not found!");
  EXPECT_EQ(Error(QStringLiteral("x/")), "8004020f Path not found!");
}

TEST_F(Save, LargeAttachmentDecodesAcrossBlocks) {
  QByteArray payload(3 * 1024 * 1024 + 7, Qt::Uninitialized);
  for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 131) ^ (i >> 7));
  const QByteArray b64 = payload.toBase64();
  data.buffer = "\r\n";
  for (qsizetype i = 0; i < b64.size(); i += 76) data.buffer += b64.mid(i, 76) + "\r\n";
  data.contentBegin = 2;
  data.end = data.buffer.size();
  EXPECT_EQ(SavedBytes(data), payload);
}

}  // namespace
