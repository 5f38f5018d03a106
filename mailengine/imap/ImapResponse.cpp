#include "imap/ImapResponse.h"

#include <algorithm>

namespace imap {

namespace {

bool IsAtomChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f && c != '(' && c != ')' && c != '{' && c != '"' && c != '%' && c != '*' &&
         c != '\\' && c != ']';
}

// Reads one complete response: an index into its bytes that moves across lines and literals.
class Parser {
 public:
  explicit Parser(const QByteArray& s) : s_(s) {}

  bool AtLineEnd() const { return p_ >= s_.size() || s_[p_] == '\r' || s_[p_] == '\n'; }
  bool Space() {
    if (p_ < s_.size() && s_[p_] == ' ') {
      ++p_;
      return true;
    }
    return false;
  }
  // Up to the next space or line end.
  QByteArray Word() {
    const qsizetype from = p_;
    while (!AtLineEnd() && s_[p_] != ' ') ++p_;
    return s_.mid(from, p_ - from);
  }
  QByteArray RestOfLine() {
    const qsizetype from = p_;
    while (!AtLineEnd()) ++p_;
    return s_.mid(from, p_ - from);
  }
  bool Peek(char c) const { return p_ < s_.size() && s_[p_] == c; }

  bool ReadValue(Value* v, int depth) {
    if (p_ >= s_.size()) return Fail("a value is missing");
    const char c = s_[p_];
    if (c == '(') {
      if (depth >= kMaxDepth) return Fail("lists nested too deep");
      ++p_;
      v->type = Value::List;
      for (;;) {
        while (Space()) {}
        if (Peek(')')) {
          ++p_;
          return true;
        }
        if (AtLineEnd() && !Peek('{')) return Fail("a list is not closed");
        v->items.emplace_back();
        if (!ReadValue(&v->items.back(), depth + 1)) return false;
      }
    }
    if (c == '"') {
      v->type = Value::String;
      for (++p_; p_ < s_.size(); ++p_) {
        const char d = s_[p_];
        if (d == '"') {
          ++p_;
          return true;
        }
        if (d == '\r' || d == '\n') break;
        if (d == '\\') {
          if (p_ + 1 >= s_.size() || (s_[p_ + 1] != '"' && s_[p_ + 1] != '\\')) return Fail("a bad escape in a quoted string");
          ++p_;
        }
        v->text.append(s_[p_]);
      }
      return Fail("a quoted string is not closed");
    }
    if (c == '{') {
      const qsizetype close = s_.indexOf('}', p_);
      if (close < 0) return Fail("a bad literal");
      QByteArray digits = s_.mid(p_ + 1, close - p_ - 1);
      if (digits.endsWith('+')) digits.chop(1);
      qint64 n = 0;
      if (!ReadNumber(digits, &n)) return Fail("a bad literal");
      qsizetype at = close + 1;
      if (at < s_.size() && s_[at] == '\r') ++at;
      if (at >= s_.size() || s_[at] != '\n' || s_.size() - (at + 1) < n) return Fail("a bad literal");
      v->type = Value::String;
      v->text = s_.mid(at + 1, static_cast<qsizetype>(n));
      p_ = at + 1 + static_cast<qsizetype>(n);
      return true;
    }
    // An atom; a section in brackets ("BODY[HEADER.FIELDS (FROM)]") belongs to it.
    const qsizetype from = p_;
    while (p_ < s_.size()) {
      const char d = s_[p_];
      if (d == '[') {
        const qsizetype close = s_.indexOf(']', p_);
        const qsizetype eol = s_.indexOf('\n', p_);
        if (close < 0 || (eol >= 0 && eol < close)) return Fail("a section is not closed");
        p_ = close + 1;
      } else if (IsAtomChar(d) || d == '\\' || d == '%' || d == '*' || d == ']') {
        ++p_;
      } else {
        break;
      }
    }
    if (p_ == from) return Fail("an unexpected character");
    v->text = s_.mid(from, p_ - from);
    v->type = v->text.toUpper() == "NIL" ? Value::Nil : Value::Atom;
    return true;
  }

  bool ReadValues(std::vector<Value>* out) {
    for (;;) {
      while (Space()) {}
      if (AtLineEnd()) return AtEnd();
      out->emplace_back();
      if (!ReadValue(&out->back(), 0)) return false;
    }
  }

  // Only the final CR LF is left.
  bool AtEnd() {
    if (Peek('\r')) ++p_;
    if (Peek('\n')) ++p_;
    return p_ == s_.size() || Fail("bytes follow the response");
  }

  // resp-text: an optional "[CODE args]", then text.
  void RespText(Response* r) {
    Space();
    if (Peek('[')) {
      const qsizetype eol = s_.indexOf('\n', p_);
      const qsizetype close = s_.indexOf(']', p_);
      if (close >= 0 && (eol < 0 || close < eol)) {
        const QByteArray inside = s_.mid(p_ + 1, close - p_ - 1);
        const qsizetype sp = inside.indexOf(' ');
        r->code = (sp < 0 ? inside : inside.left(sp)).toUpper();
        r->codeArgs = sp < 0 ? QByteArray() : inside.mid(sp + 1);
        p_ = close + 1;
        Space();
      }
    }
    r->text = RestOfLine();
  }

  bool Fail(const char* why) {
    if (error_.isEmpty()) error_ = QString::fromLatin1(why);
    return false;
  }
  QString error() const { return error_; }

 private:
  const QByteArray& s_;
  qsizetype p_ = 0;
  QString error_;
};

}  // namespace

bool ReadNumber(QByteArrayView text, qint64* out) {
  if (text.isEmpty() || text.size() > 18) return false;
  qint64 n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

bool Parse(const QByteArray& raw, Response* out, QString* error) {
  *out = Response();
  Parser p(raw);
  auto fail = [&](const char* why) {
    p.Fail(why);
    *error = p.error();
    return false;
  };
  if (p.Peek('+')) {
    out->kind = Response::Continuation;
    p.Word();
    p.Space();
    out->text = p.RestOfLine();
    return true;
  }
  const QByteArray tag = p.Word();
  if (tag.isEmpty() || !p.Space()) return fail("a response without a tag");
  if (tag == "*") {
    out->kind = Response::Untagged;
    const QByteArray first = p.Word();
    qint64 n = 0;
    if (ReadNumber(first, &n)) {
      out->number = n;
      if (!p.Space()) return fail("a number without a name");
      out->keyword = p.Word().toUpper();
      if (out->keyword == "FETCH") {
        if (!p.ReadValues(&out->data)) return fail("");
      }
      return true;
    }
    out->keyword = first.toUpper();
    if (out->IsStatus()) {
      p.RespText(out);
      return true;
    }
    // Data the client reads must be well-formed; what it does not read may be anything.
    const bool read = out->keyword == "CAPABILITY" || out->keyword == "SEARCH";
    if (!p.ReadValues(&out->data)) {
      if (read) return fail("");
      out->data.clear();
    }
    return true;
  }
  if (!std::all_of(tag.begin(), tag.end(), [](char c) { return IsAtomChar(c) && c != '+'; }))
    return fail("a bad tag");
  out->kind = Response::Tagged;
  out->tag = tag;
  out->keyword = p.Word().toUpper();
  if (out->keyword != "OK" && out->keyword != "NO" && out->keyword != "BAD") return fail("a tagged response that is no status");
  p.RespText(out);
  return true;
}

bool ReadFetch(const Response& r, FetchData* out) {
  *out = FetchData();
  if (r.data.size() != 1 || r.data[0].type != Value::List || r.data[0].items.size() % 2 != 0) return false;
  const std::vector<Value>& items = r.data[0].items;
  for (size_t i = 0; i < items.size(); i += 2) {
    if (items[i].type != Value::Atom) return false;
    const QByteArray name = items[i].text.toUpper();
    const Value& v = items[i + 1];
    if (name == "UID" || name == "RFC822.SIZE") {
      qint64 n = 0;
      if (v.type != Value::Atom || !ReadNumber(v.text, &n)) return false;
      (name == "UID" ? out->uid : out->size) = n;
    } else if (name == "BODY[]") {
      if (v.type == Value::String) {
        out->hasBody = true;
        out->body = v.text;
      } else if (v.type != Value::Nil) {
        return false;
      }
    }
  }
  return true;
}

Reader::Result Reader::Fail(const QString& why) {
  error_ = why;
  buf_.clear();
  start_ = lineStart_ = scan_ = 0;
  return Bad;
}

void Reader::Clear() {
  buf_.clear();
  start_ = lineStart_ = scan_ = 0;
  literalLeft_ = -1;
  literals_ = 0;
  literalBytes_ = 0;
}

Reader::Result Reader::Next(Response* out) {
  if (!error_.isEmpty()) return Bad;
  for (;;) {
    if (literalLeft_ >= 0) {
      if (buf_.size() - scan_ < literalLeft_) return Incomplete;
      scan_ += static_cast<qsizetype>(literalLeft_);
      lineStart_ = scan_;
      literalLeft_ = -1;
      continue;
    }
    const qsizetype lf = buf_.indexOf('\n', scan_);
    if (lf < 0) {
      if (buf_.size() - lineStart_ > kMaxLine) return Fail(QStringLiteral("a response line longer than 64 KiB"));
      scan_ = buf_.size();
      return Incomplete;
    }
    if (lf - lineStart_ > kMaxLine) return Fail(QStringLiteral("a response line longer than 64 KiB"));
    // A line that ends in "{n}" or "{n+}" announces n bytes that belong to the same response.
    qsizetype end = lf;
    if (end > lineStart_ && buf_[end - 1] == '\r') --end;
    if (end > lineStart_ && buf_[end - 1] == '}') {
      const qsizetype open = buf_.lastIndexOf('{', end - 1);
      QByteArrayView digits;
      if (open >= lineStart_) digits = QByteArrayView(buf_).sliced(open + 1, end - 1 - (open + 1));
      if (digits.endsWith('+')) digits.chop(1);
      qint64 n = 0;
      if (!digits.isEmpty() && ReadNumber(digits, &n)) {
        if (++literals_ > kMaxLiterals) return Fail(QStringLiteral("a response with too many literals"));
        literalBytes_ += n;
        if (n > maxLiteral_ || literalBytes_ > maxLiteral_ + kMaxLine)
          return Fail(QStringLiteral("the server announced %1 bytes, more than the %2 a message may have")
                          .arg(n).arg(maxLiteral_));
        literalLeft_ = n;
        scan_ = lf + 1;
        continue;
      }
    }
    // The response is complete.
    QByteArray raw;
    if (start_ == 0 && lf + 1 == buf_.size()) {
      raw = std::move(buf_);
      buf_ = QByteArray();
    } else {
      raw = buf_.mid(start_, lf + 1 - start_);
    }
    start_ = lineStart_ = scan_ = lf + 1;
    literals_ = 0;
    literalBytes_ = 0;
    if (start_ >= buf_.size()) {
      buf_.clear();
      start_ = lineStart_ = scan_ = 0;
    } else if (start_ > kMaxLine) {
      buf_.remove(0, start_);
      start_ = lineStart_ = scan_ = 0;
    }
    QString why;
    if (!Parse(raw, out, &why)) return Fail(QStringLiteral("a malformed response (") + why + QLatin1Char(')'));
    return Ready;
  }
}

QByteArray Quoted(const QByteArray& text, bool* literal) {
  *literal = std::any_of(text.begin(), text.end(), [](char c) {
    return c == '\r' || c == '\n' || c == '\0' || static_cast<unsigned char>(c) >= 0x80;
  });
  if (*literal) return '{' + QByteArray::number(text.size()) + '}';
  QByteArray out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.append('\\');
    out.append(c);
  }
  return out + '"';
}

QByteArray EncodeMailbox(const QString& name) {
  QByteArray out;
  QString run;  // characters outside printable ASCII, encoded together
  auto flush = [&] {
    if (run.isEmpty()) return;
    QByteArray utf16;
    for (QChar c : run) {
      utf16.append(static_cast<char>(c.unicode() >> 8));
      utf16.append(static_cast<char>(c.unicode() & 0xff));
    }
    QByteArray b64 = utf16.toBase64(QByteArray::OmitTrailingEquals);
    b64.replace('/', ',');
    out += '&' + b64 + '-';
    run.clear();
  };
  for (QChar c : name) {
    const char16_t u = c.unicode();
    if (u >= 0x20 && u <= 0x7e) {
      flush();
      out += u == u'&' ? QByteArray("&-") : QByteArray(1, static_cast<char>(u));
    } else {
      run.append(c);
    }
  }
  flush();
  return out;
}

QByteArray UidSet(std::vector<quint32> uids) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  QByteArray out;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.isEmpty()) out += ',';
    out += QByteArray::number(uids[i]);
    if (j > i) out += ':' + QByteArray::number(uids[j]);
    i = j + 1;
  }
  return out;
}

}  // namespace imap
