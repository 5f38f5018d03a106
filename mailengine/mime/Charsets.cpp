// Character sets: Windows-1252, the UTF-8 check, and text in a declared character set made
// UTF-16 or UTF-8 (whole or block by block).
#include "mime/Codec.h"
#include "mime/Codec_p.h"

#include <QStringDecoder>
#include <algorithm>
#include <utility>

namespace codec {

using detail::kMaxCharsetName;
using detail::NormalCharset;

QString FromWindows1252(QByteArrayView bytes) {
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  QString s(bytes.size(), Qt::Uninitialized);
  QChar* d = s.data();
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    d[i] = (c >= 0x80 && c < 0xA0) ? QChar(kHigh[c - 0x80]) : QChar(c);
  }
  return s;
}

bool IsValidUtf8(QByteArrayView bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const qsizetype n = bytes.size();
  qsizetype i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (int k = 2; k < len; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

QString Utf8OrWindows1252(QByteArrayView bytes, bool keepBom) {
  if (!IsValidUtf8(bytes)) return FromWindows1252(bytes);
  if (!keepBom) return QString::fromUtf8(bytes);
  QStringDecoder utf8(QStringConverter::Utf8,
                      QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
  return utf8.decode(bytes);
}

namespace {

enum class Charset { Undeclared, Windows1252, Other };

Charset KindOf(const QByteArray& cs) {
  if (cs.isEmpty() || cs == "us-ascii" || cs == "ascii" || cs == "utf-8" || cs == "utf8" ||
      cs == "unknown-8bit" || cs == "x-unknown" || cs == "default")
    return Charset::Undeclared;
  if (cs == "iso-8859-1" || cs == "iso8859-1" || cs == "iso_8859-1" || cs == "latin1" ||
      cs == "latin-1" || cs == "l1" || cs == "windows-1252" || cs == "cp1252" || cs == "cp819")
    return Charset::Windows1252;
  return cs.size() <= kMaxCharsetName ? Charset::Other : Charset::Undeclared;
}

}  // namespace

QString BytesToText(QByteArrayView bytes, QByteArrayView charset) {
  const QByteArray cs = NormalCharset(charset);
  switch (KindOf(cs)) {
    case Charset::Windows1252:
      return FromWindows1252(bytes);
    case Charset::Other: {
      QStringDecoder decoder(cs.constData());
      if (decoder.isValid()) return decoder.decode(bytes);
      break;
    }
    case Charset::Undeclared:
      break;
  }
  return Utf8OrWindows1252(bytes);
}

namespace {

qsizetype Utf8Length(unsigned char lead) {
  return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

// IsValidUtf8 over bytes that come in blocks: a character split between two blocks is whole.
class Utf8Check {
 public:
  bool Feed(QByteArrayView b) {
    if (!split_.isEmpty()) {
      const qsizetype take = std::min(Utf8Length(split_[0]) - split_.size(), b.size());
      split_ += b.first(take);
      b = b.sliced(take);
      if (split_.size() < Utf8Length(split_[0])) return true;
      ok_ = IsValidUtf8(split_);
      split_.clear();
    }
    qsizetype cut = b.size();
    for (qsizetype i = b.size() - 1; ok_ && i >= 0 && i >= b.size() - 3; --i) {
      const unsigned char c = static_cast<unsigned char>(b[i]);
      if (c < 0x80) break;
      if (c >= 0xC0) {
        if (i + Utf8Length(c) > b.size()) cut = i;
        break;
      }
    }
    ok_ = ok_ && IsValidUtf8(b.first(cut));
    split_ = b.sliced(cut).toByteArray();
    return ok_;
  }
  bool Valid() const { return ok_ && split_.isEmpty(); }

 private:
  QByteArray split_;
  bool ok_ = true;
};

}  // namespace

void TextToUtf8(const std::function<void(const ByteSink&)>& feed, QByteArrayView charset,
                const std::function<void(QByteArrayView)>& sink) {
  constexpr qsizetype kBlock = 256 * 1024;
  const QByteArray cs = NormalCharset(charset);
  Charset kind = KindOf(cs);
  QStringDecoder decoder;
  if (kind == Charset::Other) {
    decoder = QStringDecoder(cs.constData());
    if (!decoder.isValid()) kind = Charset::Undeclared;
  }
  if (kind == Charset::Undeclared) {
    Utf8Check check;
    feed([&check](QByteArrayView b) { return check.Feed(b); });
    if (check.Valid()) {
      bool first = true;  // a leading byte-order mark is dropped, as Utf8OrWindows1252 does
      feed([&](QByteArrayView b) {
        if (b.isEmpty()) return true;
        if (std::exchange(first, false) && b.startsWith("\xEF\xBB\xBF")) b = b.sliced(3);
        sink(b);
        return true;
      });
      return;
    }
    kind = Charset::Windows1252;
  }
  // The decoder keeps its state between blocks: a character split by a block's end is whole.
  feed([&](QByteArrayView bytes) {
    for (qsizetype at = 0; at < bytes.size(); at += kBlock) {
      const QByteArrayView b = bytes.sliced(at, std::min(kBlock, bytes.size() - at));
      sink((kind == Charset::Windows1252 ? FromWindows1252(b) : QString(decoder.decode(b))).toUtf8());
    }
    return true;
  });
}

}  // namespace codec
