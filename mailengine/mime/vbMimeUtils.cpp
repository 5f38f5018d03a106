#include "mime/vbMimeUtils.h"

#include <QStringDecoder>
#include <vector>

namespace vbMimeUtils {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHex[] = "0123456789ABCDEF";

// Longest a chunk of a Q word may grow to, so that a word stays within 75 characters even when
// the last character appended is a four-byte UTF-8 sequence.
constexpr int kQChunkClose = 54;
constexpr int kQChunkMax = 56;
constexpr int kBPieceBytes = 42;
constexpr int kMaxLineBytes = 998;

// The characters of a text as whole code points, each with its wire bytes.
std::vector<QByteArray> WireCharacters(const QString& text, bool utf8) {
  std::vector<QByteArray> out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (!utf8) {
      out.emplace_back(1, static_cast<char>(text[i].unicode()));
      continue;
    }
    qsizetype n = 1;
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) n = 2;
    out.push_back(text.mid(i, n).toUtf8());
    i += n - 1;
  }
  return out;
}

bool QKeeps(unsigned char c) {
  return (c >= 33 && c <= 60) || c == 62 || (c >= 64 && c <= 94) || (c >= 96 && c <= 126);
}

QByteArray QEncodeChar(const QByteArray& bytes) {
  QByteArray out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ') {
      out += '_';
    } else if (QKeeps(c)) {
      out += ch;
    } else {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int AlphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Wire length of one character (surrogate pairs count as one character).
int CharWireLen(const QString& s, qsizetype i, bool utf8, qsizetype* units) {
  *units = 1;
  if (!utf8) return 1;
  const char16_t u = s[i].unicode();
  if (u < 0x80) return 1;
  if (u < 0x800) return 2;
  if (QChar::isHighSurrogate(u) && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
    *units = 2;
    return 4;
  }
  return 3;
}

}  // namespace

bool FitsLatin1(const QString& text) {
  for (QChar c : text)
    if (c.unicode() > 0xFF) return false;
  return true;
}

QByteArray WireBytes(const QString& text) {
  return FitsLatin1(text) ? text.toLatin1() : text.toUtf8();
}

QByteArray WireCharset(const QString& text) {
  return FitsLatin1(text) ? QByteArrayLiteral("ISO-8859-1") : QByteArrayLiteral("UTF-8");
}

QByteArray EncodeBase64(const QByteArray& data) {
  QByteArray out;
  const qsizetype groups = (data.size() + 2) / 3;
  out.reserve(groups * 4 + (groups / 19 + 1) * 2);
  const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
  const qsizetype n = data.size();
  int inLine = 0;
  for (qsizetype i = 0; i < n; i += 3) {
    const unsigned b0 = p[i];
    const unsigned b1 = i + 1 < n ? p[i + 1] : 0;
    const unsigned b2 = i + 2 < n ? p[i + 2] : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out += i + 1 < n ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
    out += i + 2 < n ? kAlphabet[b2 & 63] : '=';
    if (++inLine == 19) {
      out += "\r\n";
      inLine = 0;
    }
  }
  if (!out.endsWith("\r\n")) out += "\r\n";
  return out;
}

QByteArray EncodeBase64Line(const QByteArray& data) { return data.toBase64(); }

QByteArray DecodeBase64(const QByteArray& encoded) {
  QByteArray out;
  out.reserve(encoded.size() * 3 / 4 + 3);
  unsigned acc = 0;
  int have = 0;  // characters of the current group
  auto flush = [&] {
    // A partial group gives its whole bytes: 2 characters one byte, 3 characters two.
    if (have >= 2) out += static_cast<char>((acc >> (have * 6 - 8)) & 0xFF);
    if (have >= 3) out += static_cast<char>((acc >> (have * 6 - 16)) & 0xFF);
    acc = 0;
    have = 0;
  };
  for (char c : encoded) {
    if (c == '=') {
      flush();
      continue;
    }
    const int v = AlphabetValue(c);
    if (v < 0) break;
    acc = (acc << 6) | static_cast<unsigned>(v);
    if (++have == 4) {
      out += static_cast<char>((acc >> 16) & 0xFF);
      out += static_cast<char>((acc >> 8) & 0xFF);
      out += static_cast<char>(acc & 0xFF);
      acc = 0;
      have = 0;
    }
  }
  flush();
  return out;
}

QString DecodeBase64String(const QString& str2Decode) {
  const QByteArray bytes = DecodeBase64(str2Decode.toLatin1());
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(bytes);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes);
}

bool IsPlainHeaderText(const QString& text) {
  for (QChar c : text)
    if (c.unicode() < 32 || c.unicode() > 126) return false;
  return true;
}

QByteArray EncodeWordsQ(const QString& text) {
  const bool utf8 = !FitsLatin1(text);
  const QByteArray open = "=?" + WireCharset(text) + "?Q?";
  QByteArray out;
  QByteArray chunk;
  auto close = [&] {
    out += open + chunk + "?=";
    chunk.clear();
  };
  const auto chars = WireCharacters(text, utf8);
  for (size_t i = 0; i < chars.size(); ++i) {
    const QByteArray enc = QEncodeChar(chars[i]);
    if (!chunk.isEmpty() && chunk.size() + enc.size() > kQChunkMax) {
      close();
      out += "\r\n\t";
    }
    chunk += enc;
    if (chunk.size() >= kQChunkClose) {
      close();
      if (i + 1 < chars.size()) out += "\r\n\t";
    }
  }
  if (!chunk.isEmpty() || out.isEmpty()) close();
  return out;
}

QByteArray EncodeWordsB(const QString& text) {
  const bool utf8 = !FitsLatin1(text);
  const QByteArray open = "=?" + WireCharset(text) + "?B?";
  QByteArray out;
  QByteArray piece;
  auto close = [&] {
    if (!out.isEmpty()) out += "\r\n\t";
    out += open + EncodeBase64Line(piece) + "?=";
    piece.clear();
  };
  for (const QByteArray& ch : WireCharacters(text, utf8)) {
    if (piece.size() + ch.size() > kBPieceBytes) close();
    piece += ch;
  }
  if (!piece.isEmpty() || out.isEmpty()) close();
  return out;
}

QByteArray EncodeHeaderText(const QString& text, bool quoteWhenPlain) {
  if (IsPlainHeaderText(text)) {
    if (!quoteWhenPlain) return text.toLatin1();
    QByteArray q = "\"";
    for (QChar c : text) {
      if (c == u'"' || c == u'\\') q += '\\';
      q += static_cast<char>(c.unicode());
    }
    return q + "\"";
  }
  QByteArray q = EncodeWordsQ(text);
  QByteArray b = EncodeWordsB(text);
  return q.size() < b.size() ? q : b;
}

bool NameNeedsEncoding(const QString& name) {
  for (QChar c : name) {
    const char16_t u = c.unicode();
    if (u < 32 || u > 126 || u == u'"' || u == u'\\') return true;
  }
  return false;
}

QByteArray ParamNameValue(const QString& name) {
  if (!NameNeedsEncoding(name)) return "\"" + name.toLatin1() + "\"";
  return "\"" + EncodeWordsB(name).replace("\r\n\t", " ") + "\"";
}

QByteArray Rfc2231Value(const QString& name) {
  QByteArray out = "utf-8''";
  for (char ch : name.toUtf8()) {
    const auto c = static_cast<unsigned char>(ch);
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == '~' || c == '!' || c == '+';
    if (keep) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

QString NameForLine(const QString& name) {
  QString out = name;
  for (QChar& c : out)
    if (c.unicode() < 32 || c.unicode() == 127) c = u'_';
  return out;
}

QString ProcessBodyLines(const QString& text, bool utf8) {
  QString out;
  out.reserve(text.size() + text.size() / 64 + 16);
  qsizetype pos = 0;
  const qsizetype n = text.size();
  bool first = true;
  while (pos <= n) {
    // One source line, up to CR LF, CR or LF.
    qsizetype end = pos;
    while (end < n && text[end] != u'\r' && text[end] != u'\n') ++end;
    qsizetype next = end;
    if (end < n) next = (text[end] == u'\r' && end + 1 < n && text[end + 1] == u'\n') ? end + 2 : end + 1;
    const bool hadBreak = end < n;

    if (!first) out += QLatin1String("\r\n");
    first = false;

    // Cut it into pieces of at most 998 bytes; each piece that starts with "." is stuffed
    // before it is measured, so no piece reaches the server looking like the end of data.
    QString rest = text.mid(pos, end - pos);
    bool firstPiece = true;
    do {
      if (rest.startsWith(u'.')) rest.prepend(u'.');
      qsizetype i = 0;
      int bytes = 0;
      qsizetype lastSpaceEnd = -1;
      while (i < rest.size()) {
        qsizetype units;
        const int len = CharWireLen(rest, i, utf8, &units);
        if (bytes + len > kMaxLineBytes) break;
        bytes += len;
        i += units;
        if (rest[i - 1] == u' ') lastSpaceEnd = i;
      }
      qsizetype cut = i;
      if (i < rest.size() && lastSpaceEnd > 0) cut = lastSpaceEnd;
      if (!firstPiece) out += QLatin1String("\r\n");
      firstPiece = false;
      out += QStringView(rest).left(cut);
      rest = rest.mid(cut);
    } while (!rest.isEmpty());

    if (!hadBreak) break;
    pos = next;
  }
  return out;
}

QByteArray UUEncodeLine(const char* data, int len) {
  auto enc = [](unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); };
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  QByteArray out;
  out.reserve(64);
  out += enc(static_cast<unsigned>(len));
  for (int i = 0; i < len; i += 3) {
    const unsigned b0 = p[i];
    const unsigned b1 = i + 1 < len ? p[i + 1] : 0;
    const unsigned b2 = i + 2 < len ? p[i + 2] : 0;
    out += enc(b0 >> 2);
    out += enc(((b0 & 3) << 4) | (b1 >> 4));
    if (i + 1 >= len) {
      out += "==";
      break;
    }
    out += enc(((b1 & 15) << 2) | (b2 >> 6));
    if (i + 2 >= len) {
      out += '=';
      break;
    }
    out += enc(b2 & 63);
  }
  if (out.startsWith('.')) out.prepend('.');
  out += "\r\n";
  return out;
}

QString StripLineBreaks(const QString& text) {
  QString out = text;
  out.remove(u'\r');
  out.remove(u'\n');
  out.remove(u'\t');
  return out;
}

}  // namespace vbMimeUtils
