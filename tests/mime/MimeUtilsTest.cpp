// Encoders of the send side: base64, the challenge decoder, encoded words, body lines, uuencode,
// the host syntax check and content types.
#include "mime/MimeCompose.h"
#include "smtp/SMTP_OutMail.h"
#include "mime/Codec.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <gtest/gtest.h>

using namespace codec;

namespace {

QByteArray Repeat(const char* s, int n) {
  QByteArray out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

QString RepeatQ(const QString& s, int n) {
  QString out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Each encoded word of a header value, decoded on its own.
struct Word {
  QByteArray charset, kind, text;
  QByteArray bytes;
};
std::vector<Word> Words(const QByteArray& value) {
  std::vector<Word> out;
  static const QRegularExpression re(QStringLiteral("=\\?([^?]+)\\?([QB])\\?([^?]*)\\?="));
  auto it = re.globalMatch(QString::fromLatin1(value));
  while (it.hasNext()) {
    const auto m = it.next();
    Word w{m.captured(1).toLatin1(), m.captured(2).toLatin1(), m.captured(3).toLatin1(), {}};
    if (w.kind == "B") {
      w.bytes = QByteArray::fromBase64(w.text);
    } else {
      for (qsizetype i = 0; i < w.text.size(); ++i) {
        if (w.text[i] == '_') {
          w.bytes += ' ';
        } else if (w.text[i] == '=') {
          w.bytes += static_cast<char>(w.text.mid(i + 1, 2).toInt(nullptr, 16));
          i += 2;
        } else {
          w.bytes += w.text[i];
        }
      }
    }
    out.push_back(w);
  }
  return out;
}

bool ValidUtf8(const QByteArray& b) {
  QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  (void)d.decode(b);
  return !d.hasError();
}

}  // namespace

TEST(Base64, EncodesInLinesOf76AndAlwaysEndsWithCrLf) {
  EXPECT_EQ(EncodeBase64(""), "\r\n");
  EXPECT_EQ(EncodeBase64("M"), "TQ==\r\n");
  EXPECT_EQ(EncodeBase64("Ma"), "TWE=\r\n");
  EXPECT_EQ(EncodeBase64("Man"), "TWFu\r\n");
  for (int n : {56, 57, 58, 114, 1000, 11400, 11401}) {
    QByteArray data;
    for (int i = 0; i < n; ++i) data += static_cast<char>((i * 37 + 11) & 0xFF);
    const QByteArray enc = EncodeBase64(data);
    ASSERT_TRUE(enc.endsWith("\r\n")) << n;
    EXPECT_FALSE(enc.endsWith("\r\n\r\n")) << n;
    const QList<QByteArray> lines = enc.left(enc.size() - 2).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
      QByteArray l = lines[i];
      if (l.endsWith('\r')) l.chop(1);
      if (i + 1 < lines.size()) {
        EXPECT_EQ(l.size(), 76) << n << " line " << i;
      }
      EXPECT_LE(l.size(), 76);
    }
    QByteArray joined = enc;
    joined.replace("\r\n", "");
    EXPECT_EQ(joined, data.toBase64()) << n;
  }
}

TEST(Base64, BlocksOf11400EncodeLikeTheWholeFile) {
  QByteArray data;
  for (int i = 0; i < 3 * 11400 + 123; ++i) data += static_cast<char>((i * 7) & 0xFF);
  QByteArray streamed;
  for (qsizetype i = 0; i < data.size(); i += 11400) streamed += EncodeBase64(data.mid(i, 11400));
  EXPECT_EQ(streamed, EncodeBase64(data));
}

TEST(Base64, DecodesChallengesAndStopsAtForeignCharacters) {
  struct Case {
    QByteArray in, out;
  } cases[] = {
      {"VXNlcm5hbWU6", "Username:"},
      {"UGFzc3dvcmQ6", "Password:"},
      {"TWFu\r\nTWFu", "ManMan"},  // line breaks are skipped, as in message bodies
      {"TQ==TWFu", "M"},              // "=" ends the data
      {"TWE", "Ma"},            // a partial group gives its whole bytes
      {"TW!Fu", "M"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeBase64(c.in), c.out) << c.in.constData();
  EXPECT_EQ(DecodeBase64String(QStringLiteral("w6k=")), QStringLiteral("\u00e9"));  // UTF-8 bytes
  EXPECT_EQ(DecodeBase64String(QStringLiteral("gA==")), QStringLiteral("\u20ac"));  // Windows-1252
}

TEST(HeaderText, PlainAsciiStaysQuotedOnlyForNames) {
  EXPECT_EQ(EncodeHeaderText(QStringLiteral("Monthly report"), false), "Monthly report");
  EXPECT_EQ(EncodeHeaderText(QStringLiteral("Ann Smith"), true), "\"Ann Smith\"");
  EXPECT_EQ(EncodeHeaderText(QStringLiteral("Ann \"The\" Smith"), true), "\"Ann \\\"The\\\" Smith\"");
}

TEST(HeaderText, ShorterFormWinsAndBOnATie) {
  struct Case {
    QString text;
    QByteArray expected;
  } cases[] = {
      // Q: 14 characters of chunk, B: 16 of base64.
      {QStringLiteral("Caf\u00e9 cr\u00e8me"), "=?ISO-8859-1?Q?Caf=E9_cr=E8me?="},
      {QStringLiteral("Caf\u00e9 costs a=b plus cream"), "=?ISO-8859-1?Q?Caf=E9_costs_a=3Db_plus_cream?="},
      // Mostly accented: B is shorter.
      {QStringLiteral("\u00e9\u00e8\u00ea\u00eb\u00e0\u00e2"), "=?ISO-8859-1?B?6ejq6+Di?="},
      // Q "=E9abcde" and B "6WFiY2Rl" both 8 characters: B.
      {QStringLiteral("\u00e9abcde"), "=?ISO-8859-1?B?6WFiY2Rl?="},
      // Beyond Latin-1: UTF-8.
      {QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"), "=?UTF-8?B?0J/RgNC40LLQtdGC?="},
      {QStringLiteral("Price 10\u20ac each, order now"), "=?UTF-8?Q?Price_10=E2=82=AC_each,_order_now?="},
      // Control characters are never sent as they are.
      {QStringLiteral("a\r\nBcc: x@y.com"), "=?ISO-8859-1?Q?a=0D=0ABcc:_x@y.com?="},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeHeaderText(c.text, false), c.expected) << c.text.toStdString();
}

TEST(HeaderText, LongTextsFoldIntoWordsOfWholeCharacters) {
  const QString texts[] = {
      RepeatQ(QStringLiteral("\u00e9t\u00e9 "), 40),                    // Latin-1, long
      RepeatQ(QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442 "), 20),  // Cyrillic
      RepeatQ(QStringLiteral("\U0001F600"), 30),                        // four-byte characters
      RepeatQ(QStringLiteral("a\u20ac"), 40),                           // mixed, Q form likely
  };
  for (const QString& text : texts) {
    for (const QByteArray& value : {EncodeHeaderText(text, false), EncodeWordsQ(text), EncodeWordsB(text)}) {
      // Words are separated by CR LF TAB and no word is longer than 75 characters.
      for (const QByteArray& line : value.split('\n')) {
        QByteArray l = line;
        if (l.endsWith('\r')) l.chop(1);
        if (l.startsWith('\t')) l.remove(0, 1);
        EXPECT_LE(l.size(), 75) << l.constData();
      }
      const auto words = Words(value);
      ASSERT_FALSE(words.empty());
      QByteArray all;
      for (const auto& w : words) {
        if (w.charset == "UTF-8") {
          EXPECT_TRUE(ValidUtf8(w.bytes)) << "word splits a character: " << w.text.constData();
        }
        all += w.bytes;
      }
      const QString decoded = FitsLatin1(text) ? QString::fromLatin1(all) : QString::fromUtf8(all);
      EXPECT_EQ(decoded, text);
    }
  }
}

TEST(HeaderText, QFormClosesItsChunkAt54Characters) {
  // 60 plain characters after one accented letter: the first word holds 54 characters.
  const QString text = QStringLiteral("\u00e9") + QString(60, u'x');
  const QByteArray q = EncodeWordsQ(text);
  EXPECT_EQ(q, "=?ISO-8859-1?Q?=E9" + QByteArray(51, 'x') + "?=\r\n\t=?ISO-8859-1?Q?" + QByteArray(9, 'x') + "?=");
}

TEST(FileNames, NamesBeyondAsciiAreEncoded) {
  EXPECT_FALSE(NameNeedsEncoding(QStringLiteral("report 2024.pdf")));
  EXPECT_EQ(ParamNameValue(QStringLiteral("report 2024.pdf")), "\"report 2024.pdf\"");
  EXPECT_TRUE(NameNeedsEncoding(QStringLiteral("r\u00e9sum\u00e9.pdf")));
  EXPECT_TRUE(NameNeedsEncoding(QStringLiteral("a\"b.txt")));
  EXPECT_EQ(Rfc2231Value(QStringLiteral("na\u00efve r\u00e9sum\u00e9.pdf")), "utf-8''na%C3%AFve%20r%C3%A9sum%C3%A9.pdf");
  EXPECT_EQ(ParamNameValue(QStringLiteral("\u00e9.txt")), "\"=?ISO-8859-1?B?6S50eHQ=?=\"");
  EXPECT_EQ(NameForLine(QStringLiteral("a\r\nb.txt")), QStringLiteral("a__b.txt"));
}

TEST(BodyLines, DotStuffingLineBreaksAndCuts) {
  struct Case {
    const char* what;
    QString in;
    QString out;
  } cases[] = {
      {"dot line", QStringLiteral("a\r\n.\r\nb"), QStringLiteral("a\r\n..\r\nb")},
      {"leading dot", QStringLiteral(".x"), QStringLiteral("..x")},
      {"LF only", QStringLiteral("a\nb\n"), QStringLiteral("a\r\nb\r\n")},
      {"CR only", QStringLiteral("a\rb"), QStringLiteral("a\r\nb")},
      {"mixed, with the agent's CR and space", QStringLiteral("a\r\nb\nc\r "), QStringLiteral("a\r\nb\r\nc\r\n ")},
      {"LF dot LF", QStringLiteral("x\n.\ny"), QStringLiteral("x\r\n..\r\ny")},
      {"empty", QString(), QString()},
      {"2000 characters without spaces", QString(2000, u'x'),
       QString(998, u'x') + QStringLiteral("\r\n") + QString(998, u'x') + QStringLiteral("\r\n") + QString(4, u'x')},
      {"a piece after a cut that starts with a dot", QString(998, u'x') + QStringLiteral(".abc"),
       QString(998, u'x') + QStringLiteral("\r\n..abc")},
  };
  for (const auto& c : cases) EXPECT_EQ(ProcessBodyLines(c.in, false), c.out) << c.what;
}

TEST(BodyLines, CutFallsAfterTheLastSpace) {
  const QString line = RepeatQ(QStringLiteral("word "), 300);  // spaces at 4, 9, ..., 994, 999
  const QStringList pieces = ProcessBodyLines(line, false).split(QStringLiteral("\r\n"));
  ASSERT_EQ(pieces.size(), 2);
  EXPECT_EQ(pieces[0].size(), 995);
  EXPECT_TRUE(pieces[0].endsWith(u' '));
  EXPECT_EQ(pieces[0] + pieces[1], line);
}

TEST(BodyLines, Utf8LinesAreCutAt998BytesBetweenCharacters) {
  const QString cases[] = {
      QStringLiteral("\u20ac") + RepeatQ(QStringLiteral("\u00e9"), 600),
      RepeatQ(QStringLiteral("\U0001F600"), 300),
      RepeatQ(QStringLiteral("\u041f"), 1200),
  };
  for (const QString& text : cases) {
    const QString out = ProcessBodyLines(text, true);
    QString joined;
    const QStringList pieces = out.split(QStringLiteral("\r\n"));
    ASSERT_GE(pieces.size(), 2);
    for (const QString& piece : pieces) {
      const QByteArray bytes = piece.toUtf8();
      EXPECT_LE(bytes.size(), 998);
      if (&piece != &pieces.last()) {
        EXPECT_GT(bytes.size(), 994);  // cut as late as the characters allow
      }
      EXPECT_TRUE(ValidUtf8(bytes));
      joined += piece;
    }
    EXPECT_EQ(joined, text);
  }
}

TEST(UUEncode, LinesWithPartialGroupsAndStuffedDots) {
  EXPECT_EQ(UUEncodeLine("Cat", 3), "#0V%T\r\n");
  EXPECT_EQ(UUEncodeLine("A", 1), "!00==\r\n");
  EXPECT_EQ(UUEncodeLine("AB", 2), "\"04(=\r\n");
  const char zeros[3] = {0, 0, 0};
  EXPECT_EQ(UUEncodeLine(zeros, 3), "#````\r\n");
  // A 14-byte line starts with "." (32 + 14): it must not reach the server as a lone dot.
  const QByteArray line = UUEncodeLine("abcdefghijklmn", 14);
  EXPECT_TRUE(line.startsWith(".."));
  const QByteArray full = UUEncodeLine(Repeat("x", 45).constData(), 45);
  EXPECT_EQ(full.size(), 1 + 60 + 2);
  EXPECT_EQ(full[0], 'M');
}

TEST(HostSyntax, AddressesAndTopLevelDomains) {
  struct Case {
    const char* host;
    bool ok;
  } cases[] = {
      {"mail.example.com", true}, {"MAIL.EXAMPLE.COM", true}, {" smtp.example.org ", true},
      {"example.pt", true},       {"a.b.uk", true},           {"localhost", false},
      {"example.zz", false},      {"example.invalid", false}, {"127.0.0.1", true},
      {"239.255.255.255", true},  {"240.0.0.1", false},       {"1.2.3.256", false},
      {"", false},                {"example.m", true},  // the last label only has to occur in the list text
  };
  for (const auto& c : cases)
    EXPECT_EQ(SMTP_OutMail::IsValidHostSyntax(QString::fromLatin1(c.host)), c.ok) << c.host;
}

TEST(HostSyntax, EmailAddresses) {
  SMTP_OutMail m;
  struct Case {
    const char* address;
    bool ok;
  } cases[] = {
      {"ann@example.com", true}, {"x@10.0.0.1", true},       {"ann@localhost", false},
      {"a@b@example.com", false}, {"example.com", false},     {"@example.com", true},  // the local part is not examined
      {"ann@example.zz", false},
  };
  for (const auto& c : cases) EXPECT_EQ(m.IsValidEmailAddress(QString::fromLatin1(c.address)), c.ok) << c.address;
}

TEST(ContentType, ByExtensionWithDefault) {
  const QString def = QStringLiteral("application/octet-stream");
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("a.pdf"), def), QStringLiteral("application/pdf"));
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("x.GIF"), def), QStringLiteral("image/gif"));
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("notes.txt"), def), QStringLiteral("text/plain"));
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("Makefile"), def), def);
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("data.vrlunknown"), def), def);
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("a.pdf")), QStringLiteral("application/pdf"));
  EXPECT_EQ(mimecompose::GetContentType(QStringLiteral("noext")), QString());
}

TEST(DateAndBoundary, FromTheClock) {
  const QDateTime now(QDate(2026, 12, 6), QTime(4, 30, 43));
  EXPECT_EQ(mimecompose::DateText(now, 0), "Sun, 6 Dec 2026 04:30:43 +0000");
  EXPECT_EQ(mimecompose::DateText(now, 3600), "Sun, 6 Dec 2026 04:30:43 +0100");
  EXPECT_EQ(mimecompose::DateText(now, -(3 * 3600 + 1800)), "Sun, 6 Dec 2026 04:30:43 -0330");
  EXPECT_EQ(mimecompose::ZoneSuffix(-1800), "-0030");
  EXPECT_EQ(mimecompose::ZoneSuffix(19800), "+0530");
  // Day 46362 since 30 December 1899; 16243 of 86400 seconds = 0.18799769 of the day.
  EXPECT_EQ(mimecompose::MakeBoundary(now), "----_=_NextPart_000_0000B51A.011EDC99");
  EXPECT_NE(mimecompose::MakeBoundary(now.addMSecs(1)), mimecompose::MakeBoundary(now));
}

TEST(Embedded, ReferencesInsideTagsBecomeCid) {
  std::vector<mimecompose::AttachmentInfo> atts(3);
  atts[0].name = QStringLiteral("logo.gif");
  atts[1].name = QStringLiteral("report.pdf");
  atts[2].name = QStringLiteral("a.png");
  QString body = QStringLiteral(
      "<html><body><img src=\"images/LOGO.GIF\"> see logo.gif and report.pdf"
      "<img src='x/a.png'><img src=img/ba.png></body></html>");
  EXPECT_TRUE(mimecompose::MarkEmbedded(body, atts));
  EXPECT_EQ(body, QStringLiteral("<html><body><img src=\"cid:logo.gif\"> see logo.gif and report.pdf"
                                 "<img src='cid:a.png'><img src=img/ba.png></body></html>"));
  EXPECT_TRUE(atts[0].embedded);
  EXPECT_FALSE(atts[1].embedded);
  EXPECT_TRUE(atts[2].embedded);
}
