// The codecs of mime/Codec.h, both directions side by side: where the engine has an encoder and
// a decoder, awkward sizes go through both.
#include "mime/Codec.h"
#include "Pop3TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <QList>
#include <QStringDecoder>
#include <QStringList>
#include <gtest/gtest.h>

using namespace codec;

namespace {

QByteArray Pattern(int n) {
  QByteArray b;
  for (int i = 0; i < n; ++i) b += static_cast<char>((i * 37 + 11) & 0xFF);
  return b;
}

// Checked with Qt's decoder, not with the code under test.
bool ValidUtf8(QByteArrayView b) {
  QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  (void)d.decode(b);
  return !d.hasError();
}

QByteArray Decode(QByteArrayView encoding, QByteArrayView in) { return DecodeContent(in, EncodingFromHeader(encoding)); }

// A table of tests/data/mime/vectors.json; byte columns hold one character per byte.
QJsonArray Vectors(const char* table) {
  const QByteArray json = pop3test::ReadFile(QStringLiteral(VRL_TEST_DATA "/mime/vectors.json"));
  const QJsonValue rows = QJsonDocument::fromJson(json)[QLatin1String(table)];
  EXPECT_FALSE(rows.toArray().isEmpty()) << table;
  return rows.toArray();
}
QByteArray B(const QJsonValue& v) { return v.toString().toLatin1(); }
std::string Text(const QJsonValue& v) { return v.toString().toStdString() + ' '; }

TEST(Base64, PartialGroupsBothWays) {
  const struct {
    QByteArray data, wire;
  } cases[] = {{"", "\r\n"}, {"M", "TQ==\r\n"}, {"Ma", "TWE=\r\n"}, {"Man", "TWFu\r\n"}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBase64(c.data), c.wire);
    EXPECT_EQ(EncodeBase64Line(c.data), c.wire.chopped(2));
    EXPECT_EQ(DecodeBase64(c.wire), c.data);
    EXPECT_EQ(DecodeBase64(QByteArray(c.wire).replace("=", "")), c.data) << "unpadded";
  }
}

TEST(Base64, LinesOf76RoundTrip) {
  for (int n : {56, 57, 58, 114, 1000, 11401}) {
    const QByteArray data = Pattern(n), enc = EncodeBase64(data);
    const QList<QByteArray> lines = enc.chopped(2).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
      const qsizetype len = lines[i].size() - (i + 1 < lines.size() ? 1 : 0);  // without the CR
      EXPECT_TRUE(len == 76 || (i + 1 == lines.size() && len < 76)) << n << " line " << i;
    }
    EXPECT_EQ(QByteArray(enc).replace("\r\n", ""), data.toBase64()) << n;
    EXPECT_EQ(DecodeBase64(enc), data) << n;
  }
  // The sender encodes files in blocks of 11400 bytes: the pieces must join like the whole.
  const QByteArray data = Pattern(3 * 11400 + 123);
  QByteArray streamed;
  for (qsizetype i = 0; i < data.size(); i += 11400) streamed += EncodeBase64(data.mid(i, 11400));
  EXPECT_EQ(streamed, EncodeBase64(data));
}

TEST(Decode, ContentByTransferEncoding) {
  for (const QJsonValue& v : Vectors("decode")) {
    const QJsonArray r = v.toArray();  // encoding, what, in, out
    EXPECT_EQ(Decode(B(r[0]), B(r[2])).toHex(), B(r[3]).toHex()) << Text(r[0]) << Text(r[1]);
  }
  EXPECT_EQ(EncodingFromHeader("binary"), Pop3TransferEncoding::Binary);
  EXPECT_EQ(DecodeBase64String(QStringLiteral("w6k=")), QStringLiteral("\u00e9"));  // UTF-8
  EXPECT_EQ(DecodeBase64String(QStringLiteral("gA==")), QStringLiteral("\u20ac"));  // Windows-1252
}

TEST(Decode, SinkGetsBlocksAndCanStop) {
  const QByteArray big = QByteArray(kDecodeBlock * 3 + 5, 'A').toBase64();
  qsizetype total = 0;
  int calls = 0;
  EXPECT_TRUE(DecodeContent(big, Pop3TransferEncoding::Base64, [&](QByteArrayView b) {
    EXPECT_LE(b.size(), kDecodeBlock);
    total += b.size();
    return ++calls > 0;
  }));
  EXPECT_EQ(total, kDecodeBlock * 3 + 5);
  EXPECT_EQ(calls, 4);
  calls = 0;
  EXPECT_FALSE(DecodeContent(big, Pop3TransferEncoding::Base64, [&](QByteArrayView) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

TEST(UUEncode, LinesBothWays) {
  EXPECT_EQ(UUEncodeLine("Cat", 3), "#0V%T\r\n");
  EXPECT_EQ(UUEncodeLine("A", 1), "!00==\r\n");
  EXPECT_EQ(UUEncodeLine("AB", 2), "\"04(=\r\n");
  EXPECT_EQ(UUEncodeLine("\0\0\0", 3), "#````\r\n");
  EXPECT_TRUE(UUEncodeLine("abcdefghijklmn", 14).startsWith(".."));  // 32 + 14 is "."
  // Every length up to three lines, "." lines unstuffed as the receiving side does.
  for (int n = 0; n <= 136; ++n) {
    const QByteArray data = Pattern(n);
    QByteArray wire = "begin 600 x\r\n";
    for (int i = 0; i < n; i += 45) {
      const QByteArray line = UUEncodeLine(data.constData() + i, std::min(45, n - i));
      wire += line.startsWith("..") ? line.mid(1) : line;
    }
    EXPECT_EQ(Decode("x-uue", wire + "`\r\nend\r\n").toHex(), data.toHex()) << n;
  }
}

TEST(HeaderText, PlainQOrBWhicheverIsShorter) {
  for (const QJsonValue& v : Vectors("header_both_ways")) {
    const QJsonArray r = v.toArray();  // what, text, wire
    EXPECT_EQ(EncodeHeaderText(r[1].toString(), false), B(r[2])) << Text(r[0]);
    EXPECT_EQ(DecodeHeaderText(B(r[2])), r[1].toString()) << Text(r[0]);
  }
  EXPECT_EQ(EncodeHeaderText(QStringLiteral("Ann \"The\" Smith"), true), "\"Ann \\\"The\\\" Smith\"");
  const QString e61 = QStringLiteral("\u00e9") + QString(60, u'x');  // a Q chunk closes at 54
  EXPECT_EQ(EncodeWordsQ(e61),
            "=?ISO-8859-1?Q?=E9" + QByteArray(51, 'x') + "?=\r\n\t=?ISO-8859-1?Q?" + QByteArray(9, 'x') + "?=");
}

TEST(HeaderText, LongTextsSplitBetweenCharacters) {
  const QString texts[] = {
      QStringLiteral("\u00e9t\u00e9 ").repeated(40),
      QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442 ").repeated(20),
      QStringLiteral("\U0001F600").repeated(30),
      QStringLiteral("a\u20ac").repeated(40),
  };
  for (const QString& text : texts) {
    for (const QByteArray& value : {EncodeHeaderText(text, false), EncodeWordsQ(text), EncodeWordsB(text)}) {
      // Words go one per line, each at most 75 characters and decodable on its own.
      QString joined;
      for (const QByteArray& word : value.split('\n')) {
        const QByteArray w = word.trimmed();
        EXPECT_LE(w.size(), 75) << w.constData();
        joined += DecodeHeaderText(w);
      }
      EXPECT_EQ(joined, text) << value.constData();
    }
  }
}

TEST(HeaderText, DecodesWordsCharsetsAndRaw8Bit) {
  for (const QJsonValue& v : Vectors("header_decode")) {
    const QJsonArray r = v.toArray();  // what, raw, text
    EXPECT_EQ(DecodeHeaderText(B(r[1])), r[2].toString()) << Text(r[0]);
  }
  for (const QJsonValue& v : Vectors("charsets")) {
    const QJsonArray r = v.toArray();  // what, bytes, charset, text
    EXPECT_EQ(BytesToText(B(r[1]), B(r[2])), r[3].toString()) << Text(r[0]);
  }
}

TEST(FileNames, ParameterFormsBothWays) {
  EXPECT_FALSE(NameNeedsEncoding(QStringLiteral("report 2024.pdf")));
  EXPECT_EQ(ParamNameValue(QStringLiteral("report 2024.pdf")), "\"report 2024.pdf\"");
  EXPECT_TRUE(NameNeedsEncoding(QStringLiteral("a\"b.txt")));
  EXPECT_EQ(ParamNameValue(QStringLiteral("\u00e9.txt")), "\"=?ISO-8859-1?B?6S50eHQ=?=\"");
  EXPECT_EQ(Rfc2231Value(QStringLiteral("na\u00efve r\u00e9sum\u00e9.pdf")), "utf-8''na%C3%AFve%20r%C3%A9sum%C3%A9.pdf");
  EXPECT_EQ(PercentDecode("na%C3%AFve%20%zz"), "na\xc3\xafve %zz");
  EXPECT_EQ(NameForLine(QStringLiteral("a\r\nb.txt")), QStringLiteral("a__b.txt"));
}

TEST(BodyLines, LineBreaksDotsAndCuts) {
  for (const QJsonValue& v : Vectors("body_lines")) {
    const QJsonArray r = v.toArray();  // what, in, out
    EXPECT_EQ(ProcessBodyLines(r[1].toString(), false), r[2].toString()) << Text(r[0]);
  }
  const QString x998 = QString(998, u'x'), crlf = QStringLiteral("\r\n"), words = QStringLiteral("word ");
  EXPECT_EQ(ProcessBodyLines(QString(2000, u'x'), false), x998 + crlf + x998 + crlf + QString(4, u'x'));
  EXPECT_EQ(ProcessBodyLines(x998 + QStringLiteral(".abc"), false), x998 + crlf + QStringLiteral("..abc"));
  EXPECT_EQ(ProcessBodyLines(words.repeated(300), false), words.repeated(199) + crlf + words.repeated(101))
      << "cut after the last space";
}

TEST(BodyLines, Utf8LinesAreCutAt998BytesBetweenCharacters) {
  const QString texts[] = {
      QStringLiteral("\u20ac") + QStringLiteral("\u00e9").repeated(600),
      QStringLiteral("\U0001F600").repeated(300),
      QStringLiteral("\u041f").repeated(1200),
  };
  for (const QString& text : texts) {
    const QStringList pieces = ProcessBodyLines(text, true).split(QStringLiteral("\r\n"));
    ASSERT_GE(pieces.size(), 2);
    for (const QString& piece : pieces) {
      const QByteArray bytes = piece.toUtf8();
      EXPECT_LE(bytes.size(), 998);
      EXPECT_TRUE(&piece == &pieces.last() || bytes.size() > 994) << "cut as late as the characters allow";
      EXPECT_TRUE(ValidUtf8(bytes));
    }
    EXPECT_EQ(pieces.join(QString()), text);
  }
}

}  // namespace
