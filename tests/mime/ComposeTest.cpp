// Composition: whole messages as they cross the wire after DATA, sent by SMTP_OutMail to the
// scripted server with a fixed clock, compared with golden files in tests/data/smtp, and parsed
// again by Python's email package (headers, body text and attachment bytes must come back).
//
// VRL_UPDATE_GOLDEN=1 rewrites the golden files from the current output.
#include "SmtpTestUtil.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

struct AttSpec {
  QString name;
  QByteArray data;
  QString contentType;  // as the reader should see it
  bool cid = false;     // carries Content-ID <name>
};

struct ComposeCase {
  const char* name;
  std::function<void(SMTP_OutMail&)> setup;  // besides sender, host and attachments
  QList<QByteArray> rcpts;
  std::vector<AttSpec> atts;
  // What a reader must find.
  QString subject;
  QString fromName;  // display name ("" when the address is quoted instead)
  QList<QPair<QString, QString>> to, cc;
  QString body;      // the text as read, line ends as LF
  QString charset;   // of the text part
  bool html = false;
  bool uuencode = false;
  QString contentType;  // of the whole message
  QList<QPair<QString, QString>> headers;  // further headers and their values
};

QByteArray Bytes(int n, int seed) {
  QByteArray b;
  b.reserve(n);
  quint32 x = 2463534242u + static_cast<quint32>(seed);
  for (int i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b += static_cast<char>(x & 0xFF);
  }
  return b;
}

QByteArray AllByteValues() {
  QByteArray b;
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 256; ++i) b += static_cast<char>(i);
  return b;
}

const QString kLongWords = [] {
  QString s;
  for (int i = 0; i < 250; ++i) s += QStringLiteral("word ");
  return s;
}();

std::vector<ComposeCase> Cases() {
  std::vector<ComposeCase> c;

  c.push_back({"plain_headers",
               [](SMTP_OutMail& m) {
                 m.SetFromDisplayName(QStringLiteral("Ann Sender"));
                 m.SetRecipient(QStringLiteral("bob@example.com; carol@example.org"));
                 m.SetRecipientDisplayName(QStringLiteral("Bob Brown"));
                 m.SetCcRecipient(QStringLiteral("dave@example.net"));
                 m.SetBccRecipient(QStringLiteral("eve@example.com"));
                 m.SetReplyToAddress(QStringLiteral("replies@example.com"));
                 m.SetSubject(QStringLiteral("Monthly report"));
                 m.SetMessage(QStringLiteral("Hello Bob,\r\n\r\nthe report is attached.\r\n"));
                 m.SetPriority(SMTP_OutMail::HIGH_PRIORITY);
                 m.SetReceipt(true);
               },
               {"bob@example.com", "carol@example.org", "dave@example.net", "eve@example.com"},
               {},
               QStringLiteral("Monthly report"),
               QStringLiteral("Ann Sender"),
               {{QStringLiteral("Bob Brown"), QStringLiteral("bob@example.com")},
                {QStringLiteral("carol@example.org"), QStringLiteral("carol@example.org")}},
               {{QStringLiteral("dave@example.net"), QStringLiteral("dave@example.net")}},
               QStringLiteral("Hello Bob,\n\nthe report is attached.\n"),
               QStringLiteral("iso-8859-1"),
               false,
               false,
               QStringLiteral("text/plain"),
               {{QStringLiteral("X-Priority"), QStringLiteral("1")},
                {QStringLiteral("X-MSMail-Priority"), QStringLiteral("High")},
                {QStringLiteral("Reply-To"), QStringLiteral("replies@example.com")},
                {QStringLiteral("Disposition-Notification-To"), QStringLiteral("\"Ann Sender\" <sender@example.com>")},
                {QStringLiteral("Content-Transfer-Encoding"), QStringLiteral("7bit")}}});

  c.push_back({"latin1_words",
               [](SMTP_OutMail& m) {
                 m.SetFromDisplayName(QStringLiteral("Jos\u00e9 M\u00fcller"));
                 m.SetRecipient(QStringLiteral("zoe@example.com"));
                 m.SetRecipientDisplayName(QStringLiteral("Zo\u00eb Ba\u00f1os"));
                 m.SetSubject(QStringLiteral("Relat\u00f3rio de Mar\u00e7o, \u00e0 aten\u00e7\u00e3o"));
                 m.SetMessage(QStringLiteral("Ol\u00e1,\r\nsegue o relat\u00f3rio de Mar\u00e7o.\r\n\u00a9 2026"));
                 m.SetPriority(SMTP_OutMail::LOW_PRIORITY);
               },
               {"zoe@example.com"},
               {},
               QStringLiteral("Relat\u00f3rio de Mar\u00e7o, \u00e0 aten\u00e7\u00e3o"),
               QStringLiteral("Jos\u00e9 M\u00fcller"),
               {{QStringLiteral("Zo\u00eb Ba\u00f1os"), QStringLiteral("zoe@example.com")}},
               {},
               QStringLiteral("Ol\u00e1,\nsegue o relat\u00f3rio de Mar\u00e7o.\n\u00a9 2026"),
               QStringLiteral("iso-8859-1"),
               false,
               false,
               QStringLiteral("text/plain"),
               {{QStringLiteral("X-Priority"), QStringLiteral("5")},
                {QStringLiteral("X-MSMail-Priority"), QStringLiteral("Low")},
                {QStringLiteral("Content-Transfer-Encoding"), QStringLiteral("8bit")}}});

  c.push_back({"utf8_words",
               [](SMTP_OutMail& m) {
                 m.SetFromDisplayName(QStringLiteral("\u674e\u5c0f\u9f99"));
                 m.SetRecipient(QStringLiteral("ivan@example.com;anna@example.com"));
                 m.SetRecipientDisplayName(QStringLiteral("\u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432;Anna"));
                 m.SetSubject(QStringLiteral("\u041e\u0442\u0447\u0451\u0442 \u0437\u0430 \u043c\u0430\u0440\u0442 \u2014 "
                                             "\u0438\u0442\u043e\u0433\u0438 \u043a\u0432\u0430\u0440\u0442\u0430\u043b\u0430 "
                                             "\u0438 \u043f\u043b\u0430\u043d\u044b \U0001F4C8 on the next quarter"));
                 m.SetMessage(QStringLiteral("Price: 10 \u20ac\nCaf\u00e9 \u2014 \u043f\u0440\u0438\u0432\u0435\u0442 \U0001F600\n"));
               },
               {"ivan@example.com", "anna@example.com"},
               {},
               QStringLiteral("\u041e\u0442\u0447\u0451\u0442 \u0437\u0430 \u043c\u0430\u0440\u0442 \u2014 "
                              "\u0438\u0442\u043e\u0433\u0438 \u043a\u0432\u0430\u0440\u0442\u0430\u043b\u0430 "
                              "\u0438 \u043f\u043b\u0430\u043d\u044b \U0001F4C8 on the next quarter"),
               QStringLiteral("\u674e\u5c0f\u9f99"),
               {{QStringLiteral("\u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432"), QStringLiteral("ivan@example.com")},
                {QStringLiteral("Anna"), QStringLiteral("anna@example.com")}},
               {},
               QStringLiteral("Price: 10 \u20ac\nCaf\u00e9 \u2014 \u043f\u0440\u0438\u0432\u0435\u0442 \U0001F600\n"),
               QStringLiteral("utf-8"),
               false,
               false,
               QStringLiteral("text/plain"),
               {{QStringLiteral("Content-Transfer-Encoding"), QStringLiteral("8bit")}}});

  {
    QString body = QStringLiteral(".\n.hidden file\nnormal\n..two dots\n") + QString(2000, u'x') + QStringLiteral("\n") +
                   kLongWords + QStringLiteral("\nend");
    QString read = QStringLiteral(".\n.hidden file\nnormal\n..two dots\n") + QString(998, u'x') + QStringLiteral("\n") +
                   QString(998, u'x') + QStringLiteral("\n") + QString(4, u'x') + QStringLiteral("\n") +
                   kLongWords.left(995) + QStringLiteral("\n") + kLongWords.mid(995) + QStringLiteral("\nend");
    c.push_back({"dots_long_lines",
                 [body](SMTP_OutMail& m) {
                   m.SetRecipient(QStringLiteral("bob@example.com"));
                   m.SetSubject(QStringLiteral("Dots and long lines"));
                   m.SetMessage(body);
                 },
                 {"bob@example.com"},
                 {},
                 QStringLiteral("Dots and long lines"),
                 QString(),
                 {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
                 {},
                 read,
                 QStringLiteral("iso-8859-1"),
                 false,
                 false,
                 QStringLiteral("text/plain"),
                 {}});
  }

  c.push_back({"multipart_two_attachments",
               [](SMTP_OutMail& m) {
                 m.SetRecipient(QStringLiteral("bob@example.com"));
                 m.SetSubject(QStringLiteral("Two files"));
                 m.SetMessage(QStringLiteral("Both files are attached.\r\n"));
               },
               {"bob@example.com"},
               {{QStringLiteral("report.pdf"), AllByteValues(), QStringLiteral("application/pdf"), false},
                {QStringLiteral("donn\u00e9es \u20ac 2026.csv"), QByteArray("a;b\r\n1;2\r\n.\r\n"),
                 QStringLiteral("text/csv"), false}},
               QStringLiteral("Two files"),
               QString(),
               {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
               {},
               QStringLiteral("Both files are attached.\n"),
               QStringLiteral("iso-8859-1"),
               false,
               false,
               QStringLiteral("multipart/mixed"),
               {}});

  c.push_back({"related_cid",
               [](SMTP_OutMail& m) {
                 m.SetRecipient(QStringLiteral("bob@example.com"));
                 m.SetSubject(QStringLiteral("Newsletter"));
                 m.SetAsHTML(true);
                 m.SetContentBase(QStringLiteral("www.example.com\\news"));
                 m.SetMessage(QStringLiteral("<html><body><p>Hello</p><img src=\"images/logo.gif\" alt=\"logo\">"
                                             "<p>See manual.pdf</p></body></html>"));
               },
               {"bob@example.com"},
               {{QStringLiteral("logo.gif"), QByteArray("GIF89a") + Bytes(300, 1), QStringLiteral("image/gif"), true},
                {QStringLiteral("manual.pdf"), QByteArray("%PDF-1.4\n") + Bytes(5000, 2), QStringLiteral("application/pdf"),
                 false}},
               QStringLiteral("Newsletter"),
               QString(),
               {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
               {},
               QStringLiteral("<html><body><p>Hello</p><img src=\"cid:logo.gif\" alt=\"logo\">"
                              "<p>See manual.pdf</p></body></html>"),
               QStringLiteral("iso-8859-1"),
               true,
               false,
               QStringLiteral("multipart/related"),
               {}});

  c.push_back({"uuencode",
               [](SMTP_OutMail& m) {
                 m.SetRecipient(QStringLiteral("bob@example.com"));
                 m.SetSubject(QStringLiteral("Old style"));
                 m.SetEncodeType(SMTP_OutMail::UU_ENCODE);
                 m.SetPriority(SMTP_OutMail::HIGH_PRIORITY);  // not written in this mode
                 m.SetMessage(QStringLiteral("Files follow.\r\n"));
               },
               {"bob@example.com"},
               // 59 bytes: the last line holds 14 and starts with ".".
               {{QStringLiteral("a.bin"), Bytes(59, 3), QString(), false},
                {QStringLiteral("b.txt"), Bytes(200, 4), QString(), false}},
               QStringLiteral("Old style"),
               QString(),
               {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
               {},
               QStringLiteral("Files follow.\n"),
               QString(),
               false,
               true,
               QString(),
               {}});

  c.push_back({"no_attachments_html",
               [](SMTP_OutMail& m) {
                 m.SetRecipient(QStringLiteral("bob@example.com"));
                 m.SetSubject(QStringLiteral("Plain HTML"));
                 m.SetAsHTML(true);
                 m.SetContentBase(QStringLiteral("http://www.example.com/base"));
                 m.SetMessage(QStringLiteral("<p>No files here.</p>"));
               },
               {"bob@example.com"},
               {},
               QStringLiteral("Plain HTML"),
               QString(),
               {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
               {},
               QStringLiteral("<p>No files here.</p>"),
               QStringLiteral("iso-8859-1"),
               true,
               false,
               QStringLiteral("text/html"),
               {{QStringLiteral("Content-Base"), QStringLiteral("\"http://www.example.com/base/\"")}}});

  c.push_back({"empty_attachment",
               [](SMTP_OutMail& m) {
                 m.SetRecipient(QStringLiteral("bob@example.com"));
                 m.SetSubject(QStringLiteral("Empty file"));
                 m.SetMessage(QStringLiteral("An empty file."));
               },
               {"bob@example.com"},
               {{QStringLiteral("empty.dat"), QByteArray(), QStringLiteral("application/octet-stream"), false}},
               QStringLiteral("Empty file"),
               QString(),
               {{QStringLiteral("bob@example.com"), QStringLiteral("bob@example.com")}},
               {},
               QStringLiteral("An empty file."),
               QStringLiteral("iso-8859-1"),
               false,
               false,
               QStringLiteral("multipart/mixed"),
               {}});
  return c;
}

class Compose : public ::testing::Test {
 protected:
  void SetUp() override { UseFixedClockInUtc(); }
  void TearDown() override { vrl::SetNowForTesting({}); }

  // Sends the case to the scripted server; returns what came after DATA, as on the wire.
  QByteArray Send(const ComposeCase& c, const QString& dir) {
    QStringList paths;
    for (const auto& a : c.atts) {
      QFile f(dir + QLatin1Char('/') + a.name);
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(a.data);
      paths << f.fileName();
    }
    ScriptedServer server({OneMessage(c.rcpts)});
    SMTP_OutMail m;
    Recorder rec(m);
    Configure(m, server.port());
    c.setup(m);
    if (!paths.isEmpty()) m.SetAttachment(paths.join(u';'));
    EXPECT_TRUE(m.send()) << rec.failures.join(QStringLiteral(" | ")).toStdString();
    EXPECT_TRUE(server.waitDone());
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QStringLiteral("\n")).toStdString();
    const auto bodies = server.data(0);
    return bodies.empty() ? QByteArray() : bodies.front();
  }
};

TEST_F(Compose, MatchesGoldenMessages) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const bool update = qEnvironmentVariableIntValue("VRL_UPDATE_GOLDEN") == 1;
  for (const auto& c : Cases()) {
    SCOPED_TRACE(c.name);
    const QByteArray wire = Send(c, dir.path());
    ASSERT_FALSE(wire.isEmpty());
    const QString golden = QStringLiteral(VRL_TEST_DATA "/smtp/") + QLatin1String(c.name) + QStringLiteral(".eml");
    QFile f(golden);
    if (update) {
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(wire);
      continue;
    }
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << golden.toStdString();
    const QByteArray expected = f.readAll();
    if (wire != expected) {
      const QList<QByteArray> a = wire.split('\n'), b = expected.split('\n');
      for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const QByteArray x = i < a.size() ? a[i] : QByteArray("<none>");
        const QByteArray y = i < b.size() ? b[i] : QByteArray("<none>");
        if (x != y) {
          ADD_FAILURE() << "line " << i + 1 << "\n  sent:   " << x.toStdString() << "\n  golden: " << y.toStdString();
          break;
        }
      }
    }
    // Every line fits the limit and none but the last could end the data.
    for (const QByteArray& line : wire.split('\n')) EXPECT_LE(line.size(), 1000);
    EXPECT_FALSE(wire.contains("\r\n.\r\n"));
    EXPECT_TRUE(wire.endsWith("\r\n"));
  }
}

TEST_F(Compose, FixedPartsOfTheLayout) {
  QTemporaryDir dir;
  const auto cases = Cases();
  auto find = [&](const char* n) {
    for (const auto& c : cases)
      if (qstrcmp(c.name, n) == 0) return c;
    return cases.front();
  };
  // Without attachments the text part's header is part of the message header: no boundary.
  const QByteArray plain = Send(find("plain_headers"), dir.path());
  EXPECT_FALSE(plain.contains("boundary="));
  EXPECT_FALSE(plain.contains("eve@example.com")) << "Bcc must not show";
  EXPECT_TRUE(plain.startsWith("From: \"Ann Sender\" <sender@example.com>\r\nTo: \"Bob Brown\" <bob@example.com>,\r\n"
                               "\t\"carol@example.org\" <carol@example.org>\r\nCc: \"dave@example.net\" <dave@example.net>\r\n"
                               "Subject: Monthly report\r\nReply-to: <replies@example.com>\r\n"
                               "Date: Sun, 6 Dec 2026 04:30:43 +0000\r\nMIME-Version: 1.0\r\n"));
  EXPECT_TRUE(plain.contains("Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"\r\n"
                             "Content-Transfer-Encoding: 7bit\r\n\r\n\r\nHello Bob,\r\n"));
  EXPECT_TRUE(plain.endsWith("attached.\r\n\r\n\r\n\r\n"));

  const QByteArray multi = Send(find("multipart_two_attachments"), dir.path());
  const QByteArray b = "----_=_NextPart_000_0000B51A.011EDC99";
  EXPECT_TRUE(multi.contains("Content-Type: multipart/mixed;\r\n\tboundary=\"" + b +
                             "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + b +
                             "\r\nContent-Type: text/plain;"));
  EXPECT_TRUE(multi.contains("--" + b + "\r\nContent-Type: application/pdf;\r\n\tname=\"report.pdf\"\r\n"
                             "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
                             "\tfilename=\"report.pdf\"\r\n\r\n"));
  EXPECT_TRUE(multi.contains("\tfilename*=utf-8''donn%C3%A9es%20%E2%82%AC%202026.csv\r\n"));
  EXPECT_TRUE(multi.endsWith("\r\n--" + b + "--\r\n"));
  EXPECT_FALSE(multi.contains("Content-ID"));

  const QByteArray related = Send(find("related_cid"), dir.path());
  EXPECT_TRUE(related.contains("Content-Type: multipart/related;"));
  EXPECT_EQ(related.count("Content-ID: "), 1);
  EXPECT_TRUE(related.contains("Content-ID: <logo.gif>\r\n"));
  EXPECT_TRUE(related.contains("src=\"cid:logo.gif\""));
  EXPECT_TRUE(related.contains("Content-Base: \"http://www.example.com/news/\"\r\n"));

  const QByteArray uu = Send(find("uuencode"), dir.path());
  for (const char* absent : {"MIME-Version", "X-Priority", "Content-Type", "boundary"})
    EXPECT_FALSE(uu.contains(absent)) << absent;
  EXPECT_TRUE(uu.contains("begin 600 a.bin\r\nM"));
  EXPECT_TRUE(uu.contains("\r\n..")) << "the 14-byte line is stuffed";
  EXPECT_TRUE(uu.endsWith("end\r\n"));
}

// Python's email package reads every composed message back.
TEST_F(Compose, PythonEmailParsesEveryMessage) {
  const QString python = QStringLiteral("/usr/bin/python3");
  if (!QFile::exists(python)) GTEST_SKIP() << "no /usr/bin/python3";
  QTemporaryDir dir, out;
  ASSERT_TRUE(dir.isValid() && out.isValid());
  for (const auto& c : Cases()) {
    const QByteArray wire = Send(c, dir.path());
    QFile eml(out.path() + QLatin1Char('/') + QLatin1String(c.name) + QStringLiteral(".eml"));
    ASSERT_TRUE(eml.open(QIODevice::WriteOnly));
    eml.write(wire);
    QJsonObject j;
    j[QStringLiteral("subject")] = c.subject;
    j[QStringLiteral("from_name")] = c.fromName.isEmpty() ? QStringLiteral("sender@example.com") : c.fromName;
    j[QStringLiteral("from_addr")] = QStringLiteral("sender@example.com");
    auto pairs = [](const QList<QPair<QString, QString>>& l) {
      QJsonArray a;
      for (const auto& p : l) a.append(QJsonArray{p.first, p.second});
      return a;
    };
    j[QStringLiteral("to")] = pairs(c.to);
    j[QStringLiteral("cc")] = pairs(c.cc);
    j[QStringLiteral("body")] = c.body;
    j[QStringLiteral("charset")] = c.charset;
    j[QStringLiteral("html")] = c.html;
    j[QStringLiteral("uuencode")] = c.uuencode;
    j[QStringLiteral("content_type")] = c.contentType;
    j[QStringLiteral("date")] = QStringLiteral("Sun, 6 Dec 2026 04:30:43 +0000");
    QJsonObject headers;
    for (const auto& h : c.headers) headers[h.first] = h.second;
    j[QStringLiteral("headers")] = headers;
    QJsonArray atts;
    for (const auto& a : c.atts)
      atts.append(QJsonObject{{QStringLiteral("name"), a.name},
                              {QStringLiteral("data"), QString::fromLatin1(a.data.toBase64())},
                              {QStringLiteral("content_type"), a.contentType},
                              {QStringLiteral("cid"), a.cid}});
    j[QStringLiteral("attachments")] = atts;
    QFile js(out.path() + QLatin1Char('/') + QLatin1String(c.name) + QStringLiteral(".json"));
    ASSERT_TRUE(js.open(QIODevice::WriteOnly));
    js.write(QJsonDocument(j).toJson());
  }
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(python, {QStringLiteral(VRL_SOURCE_DIR "/tests/mime/check_email.py"), out.path()});
  ASSERT_TRUE(p.waitForFinished(60000));
  const QString output = QString::fromUtf8(p.readAll());
  EXPECT_EQ(p.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(output.contains(QStringLiteral("checked %1 messages").arg(Cases().size()))) << output.toStdString();
}

}  // namespace
