#include "mime/Pop3MimeDecode.h"

#include "mime/Codec.h"

namespace pop3mime {
namespace {

constexpr qsizetype kMaxParams = 1024;      // parameters read from one header value
constexpr int kMaxContinuations = 1024;     // name*0 .. name*N
constexpr qsizetype kMaxNameBytes = 200;    // room left for a counter prefix and a new extension

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v'; }

QByteArrayView TrimmedLine(QByteArrayView line) {
  while (!line.isEmpty() && IsBlank(line.back())) line.chop(1);
  while (!line.isEmpty() && IsBlank(line.front())) line = line.sliced(1);
  return line;
}

}  // namespace

const QByteArray* ContentField::Param(QByteArrayView name) const {
  for (const auto& [key, value] : params)
    if (key == name) return &value;
  return nullptr;
}

ContentField ParseContentField(QByteArrayView raw) {
  ContentField field;
  const qsizetype n = raw.size();
  qsizetype i = raw.indexOf(';');
  if (i < 0) i = n;
  field.value = TrimmedLine(raw.first(i)).toByteArray().toLower();
  while (i < n && static_cast<qsizetype>(field.params.size()) < kMaxParams) {
    ++i;  // past ";"
    while (i < n && IsBlank(raw[i])) ++i;
    qsizetype j = i;
    while (j < n && raw[j] != '=' && raw[j] != ';') ++j;
    if (j >= n || raw[j] == ';') {  // a word without "=": skipped
      i = j;
      continue;
    }
    QByteArray name = TrimmedLine(raw.sliced(i, j - i)).toByteArray().toLower();
    i = j + 1;
    while (i < n && IsBlank(raw[i])) ++i;
    QByteArray value;
    if (i < n && raw[i] == '"') {
      ++i;
      while (i < n && raw[i] != '"') {
        if (raw[i] == '\\' && i + 1 < n) ++i;
        value.append(raw[i]);
        ++i;
      }
      const qsizetype semi = raw.indexOf(';', i);
      i = semi < 0 ? n : semi;
    } else {
      const qsizetype semi = raw.indexOf(';', i);
      const qsizetype stop = semi < 0 ? n : semi;
      value = TrimmedLine(raw.sliced(i, stop - i)).toByteArray();
      i = stop;
    }
    if (!name.isEmpty() && !field.Param(name)) field.params.emplace_back(std::move(name), std::move(value));
  }
  return field;
}

std::optional<QString> ParamText(const ContentField& field, QByteArrayView name) {
  const QByteArray base = name.toByteArray().toLower();
  // name*=charset'language'percent-encoded
  if (const QByteArray* ext = field.Param(base + '*')) {
    const qsizetype q1 = ext->indexOf('\'');
    const qsizetype q2 = q1 < 0 ? -1 : ext->indexOf('\'', q1 + 1);
    if (q2 < 0) return codec::BytesToText(codec::PercentDecode(*ext));
    return codec::BytesToText(codec::PercentDecode(QByteArrayView(*ext).sliced(q2 + 1)), ext->first(q1));
  }
  // name*0*= / name*0= and their continuations
  const QByteArray* first = field.Param(base + "*0*");
  const QByteArray* firstPlain = first ? nullptr : field.Param(base + "*0");
  if (first || firstPlain) {
    QByteArray bytes;
    QByteArray charset;
    bool anyEncoded = false;
    for (int k = 0; k < kMaxContinuations; ++k) {
      const QByteArray key = base + '*' + QByteArray::number(k);
      if (const QByteArray* enc = field.Param(key + '*')) {
        QByteArrayView seg = *enc;
        if (k == 0) {
          const qsizetype q1 = seg.indexOf('\'');
          const qsizetype q2 = q1 < 0 ? -1 : seg.indexOf('\'', q1 + 1);
          if (q2 >= 0) {
            charset = seg.first(q1).toByteArray();
            seg = seg.sliced(q2 + 1);
          }
        }
        bytes += codec::PercentDecode(seg);
        anyEncoded = true;
      } else if (const QByteArray* plain = field.Param(key)) {
        bytes += *plain;
      } else {
        break;
      }
    }
    if (!anyEncoded) return codec::DecodeHeaderText(bytes);
    return codec::BytesToText(bytes, charset);
  }
  if (const QByteArray* plain = field.Param(base)) return codec::DecodeHeaderText(*plain);
  return std::nullopt;
}

QString SafeAttachmentName(const QString& name) {
  QString s;
  s.reserve(name.size());
  for (QChar c : name) {
    if (c == u'/' || c == u'\\') continue;
    if (c.category() == QChar::Other_Control) continue;
    s.append(c);
  }
  qsizetype start = 0;
  while (start < s.size() && (s[start] == u'.' || s[start].isSpace())) ++start;
  s = s.mid(start).trimmed();
  if (s.toUtf8().size() > kMaxNameBytes) {
    QString ext;
    const qsizetype dot = s.lastIndexOf(u'.');
    if (dot > 0 && s.size() - dot <= 16) ext = s.mid(dot);
    QString stem = s.left(s.size() - ext.size());
    while (!stem.isEmpty() && (stem + ext).toUtf8().size() > kMaxNameBytes) {
      stem.chop(1);
      if (!stem.isEmpty() && stem.back().isHighSurrogate()) stem.chop(1);
    }
    s = (stem.trimmed() + ext);
  }
  if (s.isEmpty()) return QStringLiteral("unnamed");
  return s;
}

}  // namespace pop3mime
