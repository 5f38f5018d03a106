#include "mime/Pop3MimeParser.h"

#include "FileIo.h"
#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"
#include "VrlError.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pop3mime {
namespace {

const QString kProductName = QStringLiteral("Vorlane POP3 & SMTP Engine 3.1");

struct Line {
  qsizetype begin = 0;
  qsizetype end = 0;   // end of the line's text, before CR LF or LF
  qsizetype next = 0;  // first byte of the next line
};

// The line starting at pos within [.., limit).
Line LineAt(QByteArrayView d, qsizetype pos, qsizetype limit) {
  Line l;
  l.begin = pos;
  const void* lf = std::memchr(d.data() + pos, '\n', static_cast<size_t>(limit - pos));
  if (lf) {
    l.end = static_cast<const char*>(lf) - d.data();
    l.next = l.end + 1;
  } else {
    l.end = l.next = limit;
  }
  if (l.end > l.begin && d[l.end - 1] == '\r') --l.end;
  return l;
}

bool IsFoldChar(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\xFF'; }
bool IsBlankChar(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v'; }

QByteArrayView Trimmed(QByteArrayView v) {
  while (!v.isEmpty() && IsBlankChar(v.front())) v = v.sliced(1);
  while (!v.isEmpty() && IsBlankChar(v.back())) v.chop(1);
  return v;
}

// The field name of a header line, or empty when the line is not a header field.
QByteArrayView FieldName(QByteArrayView line) {
  const qsizetype colon = line.indexOf(':');
  if (colon <= 0) return {};
  QByteArrayView name = line.first(colon);
  while (!name.isEmpty() && (name.back() == ' ' || name.back() == '\t')) name.chop(1);
  if (name.isEmpty()) return {};
  for (char c : name)
    if (c < 33 || c > 126) return {};
  return name;
}

struct HeaderField {
  QByteArray name;  // lower case
  QByteArray value;  // unfolded (line breaks removed), trimmed where it starts
};

struct Headers {
  std::vector<HeaderField> fields;  // only the fields this parser reads
  QByteArray unfolded;              // the whole block with folded lines joined (top level only)
  qsizetype bodyBegin = 0;

  const QByteArray* First(QByteArrayView name) const {
    for (const auto& f : fields)
      if (f.name == name) return &f.value;
    return nullptr;
  }
  const QByteArray* Last(QByteArrayView name) const {
    for (auto it = fields.rbegin(); it != fields.rend(); ++it)
      if (it->name == name) return &it->value;
    return nullptr;
  }
};

bool Wanted(QByteArrayView lowerName, bool topLevel) {
  if (lowerName.startsWith("content-")) return true;
  return topLevel && (lowerName == "from" || lowerName == "to" || lowerName == "subject" ||
                      lowerName == "date");
}

// Reads the header block of an entity in [begin, end). It ends at the first empty line. When
// there is none, it ends at the first line that is neither a field nor a folded continuation,
// and the body starts there.
Headers ParseHeaders(QByteArrayView d, qsizetype begin, qsizetype end, bool topLevel) {
  Headers h;
  h.bodyBegin = end;
  qsizetype firstStray = -1;       // first line that is not a header line
  qsizetype fieldsAtStray = 0;
  qsizetype unfoldedAtStray = 0;
  bool blank = false;
  if (topLevel) {
    // The joined lines are never longer than the block up to its first empty line: reserved at
    // once, since a buffer that grew would cost its old and its new size together.
    qsizetype blockEnd = begin;
    for (Line l; blockEnd < end && (l = LineAt(d, blockEnd, end)).end > l.begin;) blockEnd = l.next;
    h.unfolded.reserve(blockEnd - begin);
  }
  bool lastWanted = false;
  bool haveField = false;
  for (qsizetype pos = begin; pos < end;) {
    const Line l = LineAt(d, pos, end);
    pos = l.next;
    const QByteArrayView line = d.sliced(l.begin, l.end - l.begin);
    if (line.isEmpty()) {
      blank = true;
      h.bodyBegin = l.next;
      break;
    }
    if (IsFoldChar(line.front()) && haveField) {
      // Unfolding removes the line break only; the white space after it stays.
      if (lastWanted) {
        QByteArray& v = h.fields.back().value;
        v += line.first(std::min(line.size(), std::max<qsizetype>(kMaxFieldValue - v.size(), 0)));
      }
      if (topLevel) h.unfolded += line;
      continue;
    }
    const QByteArrayView name = FieldName(line);
    if (name.isEmpty() && firstStray < 0) {
      firstStray = l.begin;
      fieldsAtStray = static_cast<qsizetype>(h.fields.size());
      unfoldedAtStray = h.unfolded.size();
    }
    if (topLevel) {
      if (!h.unfolded.isEmpty() || l.begin != begin) h.unfolded += "\r\n";
      h.unfolded += line;
    }
    if (name.isEmpty()) {
      haveField = false;
      lastWanted = false;
      continue;
    }
    haveField = true;
    const QByteArray lower = name.toByteArray().toLower();
    lastWanted = Wanted(lower, topLevel);
    if (lastWanted) {
      const QByteArrayView value = Trimmed(line.sliced(line.indexOf(':') + 1));
      h.fields.push_back({lower, value.first(std::min(value.size(), kMaxFieldValue)).toByteArray()});
    }
  }
  if (!blank && firstStray >= 0) {
    h.fields.resize(static_cast<size_t>(fieldsAtStray));
    h.unfolded.truncate(unfoldedAtStray);
    h.bodyBegin = firstStray;
  }
  return h;
}

// UTF-8 text with NUL characters dropped and, when lineBased, a CR before every LF that follows
// no CR, handed to put in pieces. prev is the last character kept, across blocks.
template <typename Put>
void CleanBodyText(QByteArrayView b, bool lineBased, char& prev, const Put& put) {
  qsizetype run = 0;
  for (qsizetype i = 0; i < b.size(); ++i) {
    const char c = b[i];
    if (c == '\0') {
      put(b.sliced(run, i - run));
      run = i + 1;
      continue;
    }
    if (lineBased && c == '\n' && prev != '\r') {
      put(b.sliced(run, i - run));
      put("\r");
      run = i;
    }
    prev = c;
  }
  put(b.sliced(run));
}

using Feed = std::function<void(const codec::ByteSink&)>;

// The text feed hands on (TextToUtf8), NUL characters dropped when dropNul, CR LF line ends when
// lineBased. Measured first, then made: a buffer that grew would cost its old and its new size
// at once.
QByteArray MakeText(const Feed& feed, QByteArrayView charset, bool dropNul, bool lineBased) {
  const auto pass = [&](const auto& put) {
    char prev = 0;
    codec::TextToUtf8(feed, charset, [&](QByteArrayView block) {
      if (dropNul || lineBased) CleanBodyText(block, lineBased, prev, put);
      else put(block);
    });
  };
  qsizetype size = 0;
  pass([&size](QByteArrayView piece) { size += piece.size(); });
  QByteArray text;
  text.reserve(size);
  pass([&text](QByteArrayView piece) { text.append(piece); });
  return text;
}

// Undeclared text as UTF-8, not copied when it is UTF-8 already.
QByteArray UndeclaredText(QByteArray bytes) {
  if (!codec::IsValidUtf8(bytes))
    return MakeText([&bytes](const codec::ByteSink& sink) { sink(bytes); }, "windows-1252", false, false);
  if (bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
  return bytes;
}

struct PartRange {
  qsizetype begin;
  qsizetype end;
};

struct Context {
  const QByteArray& buffer;
  QByteArrayView d;
  Pop3Mail& mail;
  std::vector<Pop3MailAttachments>& attachments;
};

void AddAttachment(Context& ctx, const QString& name, qsizetype partBegin, qsizetype contentBegin,
                   qsizetype end, Pop3TransferEncoding encoding) {
  if (static_cast<int>(ctx.attachments.size()) >= kMaxAttachments) return;
  Pop3MailAttachments a;
  a.Name = SafeAttachmentName(name);
  a.Data.buffer = ctx.buffer;
  a.Data.partBegin = partBegin;
  a.Data.contentBegin = std::min(contentBegin, end);
  a.Data.end = end;
  a.Data.encoding = encoding;
  ctx.attachments.push_back(std::move(a));
}

// Inside multipart/alternative the parts are one text in several forms: the last of each kind
// is taken. Elsewhere successive body parts are all kept, one after the other.
void AddBody(QByteArray& field, QByteArray text, bool replace) {
  if (replace || field.isEmpty()) {
    field = std::move(text);
    return;
  }
  if (text.isEmpty()) return;
  if (!field.endsWith('\n')) field += "\r\n";
  field += text;
}

bool OctalMode(QByteArrayView v) {
  if (v.size() < 3 || v.size() > 4) return false;
  for (char c : v)
    if (c < '0' || c > '7') return false;
  return true;
}

// A "begin <mode> <name>" line followed by something that looks like uuencoded data.
bool IsUUBegin(QByteArrayView d, const Line& l, qsizetype limit, QByteArrayView* name) {
  const QByteArrayView line = d.sliced(l.begin, l.end - l.begin);
  if (!line.startsWith("begin ")) return false;
  const QByteArrayView rest = line.sliced(6);
  const qsizetype sp = rest.indexOf(' ');
  if (sp < 0 || !OctalMode(rest.first(sp))) return false;
  *name = Trimmed(rest.sliced(sp + 1));
  if (l.next >= limit) return true;
  const Line next = LineAt(d, l.next, limit);
  const QByteArrayView data = d.sliced(next.begin, next.end - next.begin);
  if (Trimmed(data) == "end") return true;
  return !data.isEmpty() && data.front() >= ' ' && data.front() <= '`' && data.size() <= 90;
}

// Takes "begin ... end" blocks out of a plain body as attachments; returns the ranges of the
// text around them.
std::vector<PartRange> TakeUUBlocks(Context& ctx, qsizetype begin, qsizetype end) {
  std::vector<PartRange> kept;
  qsizetype keptFrom = begin;
  for (qsizetype pos = begin; pos < end;) {
    const Line l = LineAt(ctx.d, pos, end);
    QByteArrayView name;
    if (ctx.d[l.begin] != 'b' || !IsUUBegin(ctx.d, l, end, &name)) {
      pos = l.next;
      continue;
    }
    qsizetype blockEnd = end;
    for (qsizetype p = l.next; p < end;) {
      const Line e = LineAt(ctx.d, p, end);
      p = e.next;
      if (Trimmed(ctx.d.sliced(e.begin, e.end - e.begin)) == "end") {
        blockEnd = e.next;
        break;
      }
    }
    kept.push_back({keptFrom, l.begin});
    AddAttachment(ctx, codec::BytesToText(name), l.begin, l.begin, blockEnd, Pop3TransferEncoding::UUEncode);
    keptFrom = pos = blockEnd;
  }
  kept.push_back({keptFrom, end});
  return kept;
}

// Text of a body as UTF-8: NUL characters dropped; line-based encodings get CR LF line ends.
// Decoded and converted a block at a time, so that it costs about its own size.
void AddTextLeaf(Context& ctx, qsizetype begin, qsizetype end, Pop3TransferEncoding enc,
                 const ContentField& ct, bool html, bool replace) {
  const bool decode = enc != Pop3TransferEncoding::Plain && enc != Pop3TransferEncoding::Binary;
  const std::vector<PartRange> kept =
      html || decode ? std::vector<PartRange>{{begin, end}} : TakeUUBlocks(ctx, begin, end);
  const auto feed = [&](const codec::ByteSink& sink) {
    for (const PartRange& r : kept) {
      const QByteArrayView v = ctx.d.sliced(r.begin, r.end - r.begin);
      if (!(decode ? codec::DecodeContent(v, enc, sink) : sink(v))) return;
    }
  };
  const bool lineBased = enc == Pop3TransferEncoding::Plain ||
                         enc == Pop3TransferEncoding::QuotedPrintable;
  const QByteArrayView charset =
      ct.Param("charset") ? QByteArrayView(*ct.Param("charset")) : QByteArrayView();
  QByteArray text = MakeText(feed, charset, true, lineBased);
  AddBody(html ? ctx.mail.HTMLMessage : ctx.mail.Message, std::move(text), replace);
}

// The parts between the delimiter lines "--" + boundary (optionally followed by blanks), up to
// the closing line "--" + boundary + "--" or the end. The line break before a delimiter line
// belongs to the delimiter. found tells whether there was any delimiter line.
std::vector<PartRange> SplitParts(QByteArrayView d, qsizetype begin, qsizetype end,
                                  const QByteArray& boundary, bool* found) {
  std::vector<PartRange> parts;
  const QByteArray delim = "--" + boundary;
  const QByteArrayView area(d.data(), end);
  qsizetype partStart = -1;
  bool closed = false;
  *found = false;
  for (qsizetype pos = begin; pos < end;) {
    const qsizetype p = area.indexOf(delim, pos);
    if (p < 0) break;
    if (p != begin && d[p - 1] != '\n') {
      pos = p + 1;
      continue;
    }
    const Line l = LineAt(d, p, end);
    QByteArrayView tail = d.sliced(p + delim.size(), std::max<qsizetype>(0, l.end - p - delim.size()));
    const bool close = tail.startsWith("--");
    if (close) tail = tail.sliced(2);
    if (!Trimmed(tail).isEmpty()) {  // a longer boundary that starts with this one
      pos = p + 1;
      continue;
    }
    *found = true;
    if (partStart >= 0) {
      qsizetype partEnd = p;
      if (partEnd > partStart && d[partEnd - 1] == '\n') --partEnd;
      if (partEnd > partStart && d[partEnd - 1] == '\r') --partEnd;
      if (partEnd > partStart) parts.push_back({partStart, partEnd});
    }
    if (close) {
      closed = true;
      break;
    }
    partStart = pos = l.next;
  }
  if (!closed && partStart >= 0 && partStart < end) parts.push_back({partStart, end});
  return parts;
}

void ParseEntity(Context& ctx, qsizetype begin, qsizetype end, int depth, bool inAlternative) {
  const bool topLevel = depth == 0;
  Headers h = ParseHeaders(ctx.d, begin, end, topLevel);
  if (topLevel) {
    ctx.mail.Header = UndeclaredText(std::exchange(h.unfolded, QByteArray()));
    if (const QByteArray* v = h.Last("from")) ctx.mail.from = codec::DecodeHeaderText(*v);
    if (const QByteArray* v = h.Last("to")) ctx.mail.To = codec::DecodeHeaderText(*v);
    if (const QByteArray* v = h.Last("date")) ctx.mail.Date = codec::DecodeHeaderText(*v);
    if (const QByteArray* v = h.Last("subject")) ctx.mail.Subject = codec::DecodeHeaderText(*v);
  }
  const QByteArray* ctRaw = h.First("content-type");
  const QByteArray* cteRaw = h.First("content-transfer-encoding");
  const QByteArray* cdRaw = h.First("content-disposition");
  const ContentField ct = ctRaw ? ParseContentField(*ctRaw) : ContentField();
  const ContentField cd = cdRaw ? ParseContentField(*cdRaw) : ContentField();
  const Pop3TransferEncoding enc =
      cteRaw ? codec::EncodingFromHeader(*cteRaw) : Pop3TransferEncoding::Plain;
  const QByteArray& type = ct.value;
  const qsizetype bodyBegin = std::min(h.bodyBegin, end);

  const QByteArray* boundary = ct.Param("boundary");
  if (type.startsWith("multipart/") && boundary && !boundary->isEmpty()) {
    if (depth >= kMaxMultipartDepth) {
      AddAttachment(ctx, QString(), begin, bodyBegin, end, Pop3TransferEncoding::Binary);
      return;
    }
    bool found = false;
    const std::vector<PartRange> parts = SplitParts(ctx.d, bodyBegin, end, *boundary, &found);
    if (found) {
      const bool alternative = type == "multipart/alternative";
      for (const PartRange& p : parts) ParseEntity(ctx, p.begin, p.end, depth + 1, alternative);
      return;
    }
    // No delimiter line at all: the body is kept as text rather than dropped.
    AddTextLeaf(ctx, bodyBegin, end, enc, ct, false, inAlternative);
    return;
  }

  std::optional<QString> name = ParamText(ct, "name");
  if (!name) name = ParamText(cd, "filename");
  // Text without a name is a body; a named part, an attachment by disposition or any other type
  // is a file. (Matching "text" anywhere would take application/vnd.oasis.opendocument.text
  // for a body.)
  const bool textType = type.isEmpty() || type == "text" || type.startsWith("text/") ||
                        type.startsWith("multipart/");
  if (!textType || name || cd.value == "attachment") {
    AddAttachment(ctx, name.value_or(QString()), begin, bodyBegin, end, enc);
    return;
  }
  AddTextLeaf(ctx, bodyBegin, end, enc, ct, type.contains("text/html"), inAlternative);
}


[[noreturn]] void Raise(int32_t number, const char* text) {
  throw vrl::VrlError(number, QString::fromLatin1(text), kProductName);
}

}  // namespace

void ParseMessage(const QByteArray& message, Pop3Mail& mail,
                  std::vector<Pop3MailAttachments>& attachments) {
  mail = Pop3Mail();
  attachments.clear();
  Context ctx{message, QByteArrayView(message), mail, attachments};
  mail.Size = message.size();
  ParseEntity(ctx, 0, message.size(), 0, false);
  mail.AttachedFiles = static_cast<qint16>(attachments.size());
}

bool SaveAttachmentData(const Pop3AttachmentData& data, const QString& fileAndPathName,
                        QString* error, bool flush) {
  const QByteArray path = QFile::encodeName(fileAndPathName);
  const qsizetype slash = path.lastIndexOf('/');
  const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
  // The create itself tells a taken name from a missing folder: no look beforehand.
  const int fd = path.isEmpty() ? (errno = ENOENT, -1) : vrl::CreateNewFile(fileAndPathName, 0666);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) Raise(vrl::kErrFileExists, "File already exists!");
    if (err == ENOENT || err == ENOTDIR || err == EISDIR) Raise(vrl::kErrPathNotFound, "Path not found!");
    if (error) *error = QString::fromLocal8Bit(std::strerror(err));
    return false;
  }
  int err = 0;
  const bool written = codec::DecodeContent(data.Content(), data.encoding, [fd, &err](QByteArrayView block) {
    if (vrl::WriteAll(fd, block)) return true;
    err = errno;
    return false;
  });
  if (written && flush && !vrl::FlushFile(fd)) err = errno;
  if (::close(fd) != 0 && err == 0 && written) err = errno;
  if (!written || err != 0) {
    ::unlink(path.constData());
    if (error) *error = QString::fromLocal8Bit(std::strerror(err ? err : EIO));
    return false;
  }
  // The new name itself must survive a crash before the message leaves the server.
  if (flush) vrl::FlushFolder(QFile::decodeName(folder));
  return true;
}

}  // namespace pop3mime
