#pragma once
// Encoding helpers of the send side: base64 (whole and streamed), the decoder of server
// challenges, encoded words for header text, the line processing of message bodies, uuencode
// lines, and the choice of the character set text travels in.
//
// Text on the wire: text whose characters all fit ISO-8859-1 goes out in ISO-8859-1, byte for
// byte; text with any character beyond it goes out as UTF-8 and is announced as such.
#include <QByteArray>
#include <QString>

namespace vbMimeUtils {

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
// Base64 decoding, four characters at a time; "=" ends a group; decoding stops at the first
// character outside the alphabet and returns what was decoded up to there.
QByteArray DecodeBase64(const QByteArray& encoded);
// The same for text; the decoded bytes are read as UTF-8 when they are valid UTF-8, else as
// ISO-8859-1.
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

}  // namespace vbMimeUtils
