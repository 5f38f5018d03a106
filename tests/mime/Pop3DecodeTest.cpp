// Decoders of received content: transfer encodings, character sets, encoded words, MIME
// parameters and safe attachment names.
#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"

#include <gtest/gtest.h>

using namespace pop3mime;
using namespace codec;

namespace {

struct ContentCase {
  const char* what;
  Pop3TransferEncoding enc;
  QByteArray in;
  QByteArray out;
};

TEST(Pop3Decode, ContentEncodings) {
  const ContentCase cases[] = {
      {"base64 across line breaks and blanks", Pop3TransferEncoding::Base64, "aGVs\r\nbG8g\n d29y bGQ=", "hello world"},
      {"base64 stops at an invalid character", Pop3TransferEncoding::Base64, "aGVsbG8h*d29ybGQ=", "hello!"},
      {"base64 truncated group keeps whole bytes", Pop3TransferEncoding::Base64, "aGVsbG8", "hello"},
      {"base64 one dangling character", Pop3TransferEncoding::Base64, "aGVsb", "hel"},
      {"base64 ends at padding", Pop3TransferEncoding::Base64, "aA==aGVsbG8=", "h"},
      {"qp soft break", Pop3TransferEncoding::QuotedPrintable, "ab=\r\ncd\r\nef", "abcd\r\nef"},
      {"qp soft break with blanks after it", Pop3TransferEncoding::QuotedPrintable, "ab= \t\r\ncd", "abcd"},
      {"qp escapes any case", Pop3TransferEncoding::QuotedPrintable, "=3D=3d=E9", "==\xe9"},
      {"qp bad escape kept", Pop3TransferEncoding::QuotedPrintable, "a=ZZb=4", "a=ZZb=4"},
      {"qp LF-only lines", Pop3TransferEncoding::QuotedPrintable, "a\nb=\nc\n", "a\r\nbc\r\n"},
      {"qp keeps NUL bytes", Pop3TransferEncoding::QuotedPrintable, "a=00b", QByteArray("a\0b", 3)},
      {"uu between begin and end", Pop3TransferEncoding::UUEncode,
       "noise\r\nbegin 644 x\r\n#86)C\r\n`\r\nend\r\ntrailer\r\n", "abc"},
      {"uu with trailing blanks stripped", Pop3TransferEncoding::UUEncode, "begin 644 x\n\"````\nend\n",
       QByteArray("\0\0", 2)},
      {"uu stripped blanks read as zero", Pop3TransferEncoding::UUEncode, "begin 644 x\n\"\nend\n",
       QByteArray("\0\0", 2)},
      {"plain as received", Pop3TransferEncoding::Plain, QByteArray("a\r\nb\0c\n", 7), QByteArray("a\r\nb\0c\n", 7)},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeContent(c.in, c.enc).toHex(), c.out.toHex()) << c.what;
}

TEST(Pop3Decode, SinkReceivesBlocksAndCanStop) {
  const QByteArray big = QByteArray(kDecodeBlock * 3 + 5, 'A').toBase64();
  qsizetype total = 0;
  int calls = 0;
  EXPECT_TRUE(DecodeContent(big, Pop3TransferEncoding::Base64, [&](QByteArrayView b) {
    EXPECT_LE(b.size(), kDecodeBlock);
    total += b.size();
    ++calls;
    return true;
  }));
  EXPECT_EQ(total, kDecodeBlock * 3 + 5);
  EXPECT_EQ(calls, 4);
  calls = 0;
  EXPECT_FALSE(DecodeContent(big, Pop3TransferEncoding::Base64, [&](QByteArrayView) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
}

TEST(Pop3Decode, EncodingNames) {
  EXPECT_EQ(EncodingFromHeader(" BASE64 "), Pop3TransferEncoding::Base64);
  EXPECT_EQ(EncodingFromHeader("Quoted-Printable"), Pop3TransferEncoding::QuotedPrintable);
  EXPECT_EQ(EncodingFromHeader("x-uue"), Pop3TransferEncoding::UUEncode);
  EXPECT_EQ(EncodingFromHeader("x-uuencode"), Pop3TransferEncoding::UUEncode);
  EXPECT_EQ(EncodingFromHeader("binary"), Pop3TransferEncoding::Binary);
  EXPECT_EQ(EncodingFromHeader("8bit"), Pop3TransferEncoding::Plain);
  EXPECT_EQ(EncodingFromHeader(""), Pop3TransferEncoding::Plain);
}

TEST(Pop3Decode, Charsets) {
  struct {
    QByteArray bytes;
    QByteArray charset;
    QString text;
  } cases[] = {
      {"caf\xc3\xa9", "", QStringLiteral("café")},
      {"caf\xe9 \x80", "", QStringLiteral("café €")},  // not UTF-8: Windows-1252
      {"caf\xe9", "us-ascii", QStringLiteral("café")},
      {"\x80", "ISO-8859-1", QStringLiteral("€")},
      {"\xb1", "iso-8859-2", QStringLiteral("ą")},
      {"\xc1", "\"koi8-r\"", QStringLiteral("а")},
      {"caf\xe9", "x-no-such-charset", QStringLiteral("café")},
      {"\xc3\xa9", "utf-8", QStringLiteral("é")},
      {"\xed\xa0\x80", "", QStringLiteral("í\u00a0€")},  // an encoded surrogate is not UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(BytesToText(c.bytes, c.charset), c.text) << c.charset.constData();
}

TEST(Pop3Decode, HeaderText) {
  struct {
    QByteArray raw;
    QString text;
  } cases[] = {
      {"plain text", QStringLiteral("plain text")},
      {"=?ISO-8859-1?Q?Caf=E9?=", QStringLiteral("Café")},
      {"=?utf-8?b?w6k=?=", QStringLiteral("é")},
      {"=?UTF-8?Q?a?= =?UTF-8?Q?b?=", QStringLiteral("ab")},
      {"=?UTF-8?Q?a?=\t =?UTF-8?Q?b?= c", QStringLiteral("ab c")},
      {"x =?UTF-8?Q?a?= y", QStringLiteral("x a y")},
      {"=?UTF-8?Q?a_b?=", QStringLiteral("a b")},
      // one character split over two words
      {"=?UTF-8?B?4oI=?= =?UTF-8?B?rA==?=", QStringLiteral("€")},
      {"=?windows-1252?Q?=80?=", QStringLiteral("€")},
      {"=?utf-8*en?q?hi?=", QStringLiteral("hi")},
      {"=?iso-8859-2?q?=B1?= =?utf-8?q?=C3=A9?=", QStringLiteral("ąé")},
      {"=?bogus?q?x", QStringLiteral("=?bogus?q?x")},
      {"=?utf-8?x?y?=", QStringLiteral("=?utf-8?x?y?=")},
      {"a=?b", QStringLiteral("a=?b")},
      {"M\xfcller", QStringLiteral("Müller")},
      {"M\xc3\xbcller", QStringLiteral("Müller")},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeHeaderText(c.raw), c.text) << c.raw.constData();
}

TEST(Pop3Decode, ContentFieldParameters) {
  const ContentField f = ParseContentField(
      "Multipart/Mixed; Boundary=\"a;b\\\"c\"; charset = utf-8 ; junk; name=two words ; boundary=second");
  EXPECT_EQ(f.value, QByteArray("multipart/mixed"));
  ASSERT_TRUE(f.Param("boundary"));
  EXPECT_EQ(*f.Param("boundary"), QByteArray("a;b\"c"));
  EXPECT_EQ(*f.Param("charset"), QByteArray("utf-8"));
  EXPECT_EQ(*f.Param("name"), QByteArray("two words"));
  EXPECT_FALSE(f.Param("junk"));
  EXPECT_EQ(*ParseContentField("text/plain; name=\"unterminated").Param("name"), QByteArray("unterminated"));
}

TEST(Pop3Decode, ParamTextForms) {
  struct {
    QByteArray field;
    QString name;
  } cases[] = {
      {"x; name=\"a.txt\"", QStringLiteral("a.txt")},
      {"x; name*=UTF-8''%E2%82%AC.txt", QStringLiteral("€.txt")},
      {"x; name*=''plain%20name", QStringLiteral("plain name")},
      {"x; name*=%41bad", QStringLiteral("Abad")},
      {"x; name*0*=iso-8859-1''%E9; name*1=\"t\"; name*2*=%E9", QStringLiteral("été")},
      {"x; name*1=\"b\"; name*0=\"a\"", QStringLiteral("ab")},
      {"x; name*0=\"=?utf-8?q?=C3=A9?=\"", QStringLiteral("é")},
      {"x; name=\"=?UTF-8?B?w6Q=?=.pdf\"", QStringLiteral("ä.pdf")},
      {"x; name*=utf-8''a; name=\"b\"", QStringLiteral("a")},
  };
  for (const auto& c : cases) {
    const auto t = ParamText(ParseContentField(c.field), "name");
    ASSERT_TRUE(t.has_value()) << c.field.constData();
    EXPECT_EQ(*t, c.name) << c.field.constData();
  }
  EXPECT_FALSE(ParamText(ParseContentField("x; filename=a"), "name").has_value());
}

TEST(Pop3Decode, SafeNames) {
  struct {
    QString in;
    QString out;
  } cases[] = {
      {QStringLiteral("report.pdf"), QStringLiteral("report.pdf")},
      {QStringLiteral("../../etc/passwd"), QStringLiteral("etcpasswd")},
      {QStringLiteral("..\\..\\x.bat"), QStringLiteral("x.bat")},
      {QStringLiteral("/"), QStringLiteral("unnamed")},
      {QStringLiteral(".."), QStringLiteral("unnamed")},
      {QStringLiteral(" . .profile"), QStringLiteral("profile")},
      {QStringLiteral("a\nb\tc\x7f"), QStringLiteral("abc")},
      {QStringLiteral(""), QStringLiteral("unnamed")},
      {QStringLiteral("trailing.dots.."), QStringLiteral("trailing.dots..")},
      {QStringLiteral("Grüße €.txt"), QStringLiteral("Grüße €.txt")},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeAttachmentName(c.in), c.out) << c.in.toStdString();
}

TEST(Pop3Decode, OverlongNamesAreCutKeepingTheExtension) {
  const QString longName = QString(300, u'é') + QStringLiteral(".pdf");
  const QString s = SafeAttachmentName(longName);
  EXPECT_LE(s.toUtf8().size(), 200);
  EXPECT_TRUE(s.endsWith(QStringLiteral(".pdf")));
  EXPECT_TRUE(s.startsWith(u'é'));
  const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80").repeated(100);  // surrogate pairs
  const QString e = SafeAttachmentName(emoji);
  EXPECT_LE(e.toUtf8().size(), 200);
  EXPECT_FALSE(e.back().isHighSurrogate());
  EXPECT_EQ(e.toUtf8().size() % 4, 0);
}

}  // namespace
