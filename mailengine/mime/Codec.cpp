#include "mime/Codec.h"
#include "mime/Codec_p.h"

#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace codec {

using detail::kMaxCharsetName;
using detail::NormalCharset;
namespace {


bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

QByteArrayView TrimmedLine(QByteArrayView line) {
  while (!line.isEmpty() && IsBlank(line.back())) line.chop(1);
  while (!line.isEmpty() && IsBlank(line.front())) line = line.sliced(1);
  return line;
}

// Collects output bytes and hands them to the sink in blocks.
class BlockWriter {
 public:
  explicit BlockWriter(const ByteSink& sink) : sink_(sink), buf_(new char[kDecodeBlock]) {}
  bool Put(char c) {
    buf_[used_++] = c;
    return used_ < kDecodeBlock || Flush();
  }
  bool Put(QByteArrayView bytes) {
    while (!bytes.isEmpty()) {
      const qsizetype n = std::min(bytes.size(), kDecodeBlock - used_);
      std::copy_n(bytes.data(), n, buf_.get() + used_);
      used_ += n;
      bytes = bytes.sliced(n);
      if (used_ == kDecodeBlock && !Flush()) return false;
    }
    return true;
  }
  bool Flush() {
    if (used_ == 0) return ok_;
    if (ok_) ok_ = sink_(QByteArrayView(buf_.get(), used_));
    used_ = 0;
    return ok_;
  }

 private:
  const ByteSink& sink_;
  std::unique_ptr<char[]> buf_;
  qsizetype used_ = 0;
  bool ok_ = true;
};

// Base64 alphabet: value, -2 for blanks and line breaks (skipped), -3 for "=", -1 otherwise.
const std::array<signed char, 256>& Base64Table() {
  static const std::array<signed char, 256> table = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    for (char c : {' ', '\t', '\r', '\n', '\v', '\f'}) t[static_cast<unsigned char>(c)] = -2;
    t['='] = -3;
    return t;
  }();
  return table;
}

bool DecodeBase64(QByteArrayView in, BlockWriter& out) {
  const auto& table = Base64Table();
  quint32 acc = 0;
  int n = 0;
  for (char ch : in) {
    const signed char v = table[static_cast<unsigned char>(ch)];
    if (v >= 0) {
      acc = (acc << 6) | static_cast<quint32>(v);
      if (++n == 4) {
        if (!out.Put(static_cast<char>(acc >> 16)) || !out.Put(static_cast<char>(acc >> 8)) ||
            !out.Put(static_cast<char>(acc)))
          return false;
        acc = 0;
        n = 0;
      }
    } else if (v == -2) {
      continue;
    } else {
      break;  // "=" ends the data; any other character ends what can be decoded
    }
  }
  if (n == 2) return out.Put(static_cast<char>(acc >> 4));
  if (n == 3) return out.Put(static_cast<char>(acc >> 10)) && out.Put(static_cast<char>(acc >> 2));
  return true;
}

// Decodes "=XX" escapes of one line (without its line end).
bool DecodeQpLine(QByteArrayView line, BlockWriter& out) {
  const qsizetype n = line.size();
  qsizetype i = 0;
  while (i < n) {
    const qsizetype eq = line.indexOf('=', i);
    const qsizetype stop = eq < 0 ? n : eq;
    if (stop > i && !out.Put(line.sliced(i, stop - i))) return false;
    if (eq < 0) break;
    const int hi = eq + 2 < n ? HexValue(line[eq + 1]) : -1;
    const int lo = eq + 2 < n ? HexValue(line[eq + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      if (!out.Put(static_cast<char>(hi * 16 + lo))) return false;
      i = eq + 3;
    } else {
      if (!out.Put('=')) return false;  // not an escape: kept as it is
      i = eq + 1;
    }
  }
  return true;
}

bool DecodeQuotedPrintable(QByteArrayView in, BlockWriter& out) {
  qsizetype pos = 0;
  const qsizetype n = in.size();
  while (pos < n) {
    const qsizetype lf = in.indexOf('\n', pos);
    const bool terminated = lf >= 0;
    qsizetype lineEnd = terminated ? lf : n;
    if (lineEnd > pos && in[lineEnd - 1] == '\r') --lineEnd;
    QByteArrayView line = in.sliced(pos, lineEnd - pos);
    // Blanks after a soft-break "=" were added in transit.
    qsizetype t = line.size();
    while (t > 0 && (line[t - 1] == ' ' || line[t - 1] == '\t')) --t;
    const bool soft = t > 0 && line[t - 1] == '=';
    if (soft) line = line.first(t - 1);
    if (!DecodeQpLine(line, out)) return false;
    if (terminated && !soft && (!out.Put('\r') || !out.Put('\n'))) return false;
    pos = terminated ? lf + 1 : n;
  }
  return true;
}

bool DecodeUU(QByteArrayView in, BlockWriter& out) {
  const qsizetype n = in.size();
  // Start after the "begin " line when there is one.
  qsizetype pos = 0;
  for (qsizetype p = 0; p < n;) {
    const qsizetype lf = in.indexOf('\n', p);
    const qsizetype next = lf < 0 ? n : lf + 1;
    if (in.sliced(p).startsWith("begin ")) {
      pos = next;
      break;
    }
    p = next;
  }
  while (pos < n) {
    const qsizetype lf = in.indexOf('\n', pos);
    const qsizetype next = lf < 0 ? n : lf + 1;
    QByteArrayView line = in.sliced(pos, (lf < 0 ? n : lf) - pos);
    if (!line.isEmpty() && line.back() == '\r') line.chop(1);
    pos = next;
    if (TrimmedLine(line) == "end") break;
    if (line.isEmpty()) continue;
    int count = (static_cast<unsigned char>(line[0]) - 32) & 63;
    qsizetype i = 1;
    while (count > 0) {
      // Encoders that strip trailing blanks leave groups short: missing characters are zero.
      quint32 acc = 0;
      for (int k = 0; k < 4; ++k, ++i) {
        const unsigned char c = i < line.size() ? static_cast<unsigned char>(line[i]) : ' ';
        acc = (acc << 6) | ((c - 32u) & 63u);
      }
      const char bytes[3] = {static_cast<char>(acc >> 16), static_cast<char>(acc >> 8),
                             static_cast<char>(acc)};
      const int take = std::min(count, 3);
      if (!out.Put(QByteArrayView(bytes, take))) return false;
      count -= take;
    }
  }
  return true;
}


// The bytes of an encoded word's text.
QByteArray DecodeWordPayload(QByteArrayView payload, char method) {
  if (method == 'B' || method == 'b') return DecodeContent(payload, Pop3TransferEncoding::Base64);
  QByteArray out;
  out.reserve(payload.size());
  for (qsizetype i = 0; i < payload.size(); ++i) {
    const char c = payload[i];
    if (c == '_') {
      out.append(' ');
    } else if (c == '=' && i + 2 < payload.size() && HexValue(payload[i + 1]) >= 0 &&
               HexValue(payload[i + 2]) >= 0) {
      out.append(static_cast<char>(HexValue(payload[i + 1]) * 16 + HexValue(payload[i + 2])));
      i += 2;
    } else {
      out.append(c);
    }
  }
  return out;
}

bool IsCharsetChar(char c) {
  return c > ' ' && c < 127 && c != '?' && c != '"' && c != '(' && c != ')' && c != ',' &&
         c != ';' && c != '=';
}


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

QByteArray detail::NormalCharset(QByteArrayView charset) {
  QByteArray cs = TrimmedLine(charset).toByteArray().toLower();
  if (cs.size() >= 2 && cs.front() == '"' && cs.back() == '"') cs = cs.mid(1, cs.size() - 2).trimmed();
  // RFC 2231 language suffix inside encoded words: "utf-8*en".
  const qsizetype star = cs.indexOf('*');
  if (star >= 0) cs.truncate(star);
  return cs;
}

QByteArray PercentDecode(QByteArrayView in) {
  QByteArray out;
  out.reserve(in.size());
  for (qsizetype i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size()) {
      const int hi = HexValue(in[i + 1]);
      const int lo = HexValue(in[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.append(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.append(in[i]);
  }
  return out;
}

QByteArray DecodeBase64(QByteArrayView encoded) {
  return DecodeContent(encoded, Pop3TransferEncoding::Base64);
}

QString DecodeBase64String(const QString& str2Decode) {
  return Utf8OrWindows1252(DecodeBase64(str2Decode.toLatin1()));
}

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


Pop3TransferEncoding EncodingFromHeader(QByteArrayView value) {
  const QByteArray v = value.toByteArray().toLower();
  if (v.contains("base64")) return Pop3TransferEncoding::Base64;
  if (v.contains("quoted-printable")) return Pop3TransferEncoding::QuotedPrintable;
  if (v.contains("x-uue") || v.contains("uuencode")) return Pop3TransferEncoding::UUEncode;
  if (TrimmedLine(v) == "binary") return Pop3TransferEncoding::Binary;
  return Pop3TransferEncoding::Plain;
}

bool DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding, const ByteSink& sink) {
  BlockWriter out(sink);
  bool ok = true;
  switch (encoding) {
    case Pop3TransferEncoding::Base64:
      ok = DecodeBase64(content, out);
      break;
    case Pop3TransferEncoding::QuotedPrintable:
      ok = DecodeQuotedPrintable(content, out);
      break;
    case Pop3TransferEncoding::UUEncode:
      ok = DecodeUU(content, out);
      break;
    case Pop3TransferEncoding::Plain:
    case Pop3TransferEncoding::Binary:
      ok = out.Put(content);
      break;
  }
  return out.Flush() && ok;
}

QByteArray DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding) {
  QByteArray result;
  if (encoding == Pop3TransferEncoding::Plain || encoding == Pop3TransferEncoding::Binary)
    return content.toByteArray();
  result.reserve(encoding == Pop3TransferEncoding::Base64 ? content.size() / 4 * 3 + 3
                                                          : content.size());
  DecodeContent(content, encoding, [&result](QByteArrayView block) {
    result.append(block);
    return true;
  });
  return result;
}

QString DecodeHeaderText(QByteArrayView raw) {
  QString out;
  QByteArray pending;         // bytes of adjacent encoded words of one character set
  QByteArray pendingCharset;
  bool havePending = false;
  auto flush = [&] {
    if (havePending) out += BytesToText(pending, pendingCharset);
    pending.clear();
    havePending = false;
  };

  qsizetype literalStart = 0;
  qsizetype i = 0;
  const qsizetype n = raw.size();
  while (i < n) {
    const qsizetype p = raw.indexOf("=?", i);
    if (p < 0) break;
    // =?charset?X?text?=
    const qsizetype q1 = raw.indexOf('?', p + 2);
    if (q1 < 0) break;
    if (q1 == p + 2 || q1 - p - 2 > kMaxCharsetName || q1 + 2 >= n || raw[q1 + 2] != '?' ||
        !QByteArrayView("BbQq").contains(raw[q1 + 1])) {
      i = p + 2;
      continue;
    }
    bool charsetOk = true;
    for (qsizetype k = p + 2; k < q1 && charsetOk; ++k) charsetOk = IsCharsetChar(raw[k]);
    if (!charsetOk) {
      i = p + 2;
      continue;
    }
    const qsizetype q3 = raw.indexOf("?=", q1 + 3);
    if (q3 < 0) break;  // no word can end after this point

    const QByteArrayView literal = raw.sliced(literalStart, p - literalStart);
    const bool onlyBlanks = std::all_of(literal.begin(), literal.end(), IsBlank);
    if (!(havePending && onlyBlanks)) {
      flush();
      out += BytesToText(literal);
    }
    const QByteArray charset = NormalCharset(raw.sliced(p + 2, q1 - p - 2));
    const QByteArray bytes = DecodeWordPayload(raw.sliced(q1 + 3, q3 - q1 - 3), raw[q1 + 1]);
    if (havePending && charset != pendingCharset) flush();
    pending += bytes;
    pendingCharset = charset;
    havePending = true;
    i = literalStart = q3 + 2;
  }
  flush();
  out += BytesToText(raw.sliced(literalStart));
  return out;
}

}  // namespace codec
