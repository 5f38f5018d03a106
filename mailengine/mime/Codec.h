#pragma once
// The codecs of the mail engine, both directions: base64, quoted-printable, uuencode, encoded
// words, RFC 2231 values, the line processing of message bodies, and character sets.
//
// Text on the wire: text whose characters all fit ISO-8859-1 goes out in ISO-8859-1, byte for
// byte; text with any character beyond it goes out as UTF-8 and is announced as such.
// Received bytes without a declared character set (mail text, server challenges, record
// strings) follow one rule: UTF-8 when they are valid UTF-8, else Windows-1252.
#include "mime/Pop3Mail.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>

#include "vrlime_export.h"

namespace codec {

// --- Character sets

// Windows-1252: the characters of 0x80..0x9F; the five unassigned bytes keep their C1 code.
QString FromWindows1252(QByteArrayView bytes);
// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(QByteArrayView bytes);
// Undeclared 8-bit text. A leading byte-order mark is dropped unless keepBom (stored text that
// must come back as stored).
VRLIME_EXPORT QString Utf8OrWindows1252(QByteArrayView bytes, bool keepBom = false);
// Text of bytes in a declared character set. Without one, or with "us-ascii", the rule above;
// "iso-8859-1" is read as Windows-1252 (its superset, as senders mean it); an unknown name falls
// back to the rule above.
QString BytesToText(QByteArrayView bytes, QByteArrayView charset = {});

// True when every character of the text has a code below 256.
bool FitsLatin1(const QString& text);
// The bytes the text travels as: ISO-8859-1 when it fits, else UTF-8.
QByteArray WireBytes(const QString& text);
// Charset label of WireBytes(text) as used in encoded words: "ISO-8859-1" or "UTF-8".
QByteArray WireCharset(const QString& text);

// Base64 of data: 76 characters per line, CR LF after every line; the output always ends with
// CR LF (for empty data it is just CR LF).
QByteArray EncodeBase64(const QByteArray& data);
// Base64 without line breaks (AUTH answers, encoded words).
QByteArray EncodeBase64Line(const QByteArray& data);
// Base64 decoding by the rule of DecodeContent.
QByteArray DecodeBase64(QByteArrayView encoded);
// The same for text (server challenges); the bytes are read as undeclared 8-bit text.
QString DecodeBase64String(const QString& str2Decode);

// Header text: plain printable ASCII stays as it is (quoted when quoteWhenPlain, with " and a
// backslash escaped); anything else becomes encoded words, the Q form or the B form, whichever is shorter
// (B on a tie). Each encoded word holds whole characters; words are separated by CR LF TAB.
QByteArray EncodeHeaderText(const QString& text, bool quoteWhenPlain);
// The two forms, exposed for tests. The charset is ISO-8859-1 when the text fits, else UTF-8.
QByteArray EncodeWordsQ(const QString& text);
QByteArray EncodeWordsB(const QString& text);
// True when the text can go into a header as it is: printable ASCII only.
bool IsPlainHeaderText(const QString& text);

// A file name as a MIME parameter value, quotes included: plain ASCII names as they are,
// anything else (non-ASCII, quotes, backslashes, control characters) as B encoded words.
QByteArray ParamNameValue(const QString& name);
// RFC 2231 extended value of a name: utf-8''percent-encoded.
QByteArray Rfc2231Value(const QString& name);
// True when a file name needs the encoded parameter forms.
bool NameNeedsEncoding(const QString& name);
// The name with control characters replaced by "_" (for lines that cannot carry encodings:
// "begin 600", Content-ID).
QString NameForLine(const QString& name);

// Body line processing: line breaks (CR LF, CR or LF) become CR LF; a line starting with "."
// gets another "."; a line longer than 998 bytes (on the wire) is cut after the last space
// within its first 998 bytes, or after byte 998 (never inside a character). Returns the
// processed text; utf8 tells the wire charset to measure with.
QString ProcessBodyLines(const QString& text, bool utf8);

// One uuencoded line of up to 45 bytes: length character, groups of four characters (value 0
// written as "`"); a last group of one byte is two characters and "==", of two bytes three
// characters and "="; CR LF at the end. A line starting with "." gets another ".".
QByteArray UUEncodeLine(const char* data, int len);

// Removes every CR, LF and TAB (values that go into command lines and headers).
QString StripLineBreaks(const QString& text);

// --- Decoding what a received message holds

// Receives decoded bytes block by block; returns false to stop decoding (a write failed).
using ByteSink = std::function<bool(QByteArrayView)>;
// Size of the blocks handed to a sink.
inline constexpr qsizetype kDecodeBlock = 64 * 1024;

// The encoding named by a Content-Transfer-Encoding value (any case; unknown values are Plain).
Pop3TransferEncoding EncodingFromHeader(QByteArrayView value);

// Decodes content of the given encoding into the sink. Returns false only when the sink refused.
// Base64 skips line breaks and blanks and ends at "=" or at the first character outside the
// alphabet; a truncated last group yields its whole bytes. Quoted-printable joins soft breaks
// and turns the other line breaks into CR LF. UUEncode reads from the "begin " line (or from the
// start when there is none) to the line "end".
VRLIME_EXPORT bool DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding, const ByteSink& sink);
QByteArray DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding);

// The text of bytes in a character set (as BytesToText) handed to sink as UTF-8, a block at a
// time, so that a large body is never whole in memory once more, let alone in UTF-16. feed hands
// the bytes to the sink it is given, the same each time it is called: undeclared text is read
// once more first, to tell UTF-8 from Windows-1252.
void TextToUtf8(const std::function<void(const ByteSink&)>& feed, QByteArrayView charset,
                const std::function<void(QByteArrayView)>& sink);

// A header value (raw bytes, already unfolded) as text: 8-bit bytes read by the rule above, then
// every encoded word (=?charset?B|Q?...?=) decoded from its character set; white space between
// two adjacent encoded words is dropped.
QString DecodeHeaderText(QByteArrayView raw);

// "%XX" escapes of an RFC 2231 value decoded; anything else kept.
QByteArray PercentDecode(QByteArrayView in);

}  // namespace codec
