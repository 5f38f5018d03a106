#pragma once
// The IMAP client's reading side: responses cut out of the byte stream as they complete (data may
// arrive split anywhere, also inside a literal), tokenized into values, and the few structures
// the client reads from them. Every size is bounded: a line without a literal, the literals of
// one response, the nesting of lists. What breaks a bound or the grammar is an error, which ends
// the session.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <vector>

namespace imap {

// A line of a response (without its literals) is at most this long.
inline constexpr qsizetype kMaxLine = 64 * 1024;
// Literals one response may announce; lists nested deeper are refused.
inline constexpr int kMaxLiterals = 64;
inline constexpr int kMaxDepth = 16;

// An atom, a number, a quoted string, a literal, NIL or a parenthesized list.
struct Value {
  enum Type { Atom, String, Nil, List };
  Type type = Nil;
  QByteArray text;            // Atom, String (unquoted, unescaped)
  std::vector<Value> items;   // List
  bool IsAtom(const char* upper) const { return type == Atom && text.toUpper() == upper; }
};

struct Response {
  enum Kind { Tagged, Untagged, Continuation };
  Kind kind = Untagged;
  QByteArray tag;        // Tagged
  QByteArray keyword;    // upper case: OK, NO, BAD, BYE, PREAUTH, CAPABILITY, SEARCH, EXISTS, FETCH, ...
  qint64 number = -1;    // "* n EXISTS", "* n FETCH": n
  QByteArray code;       // the response code's name, upper case ("UIDVALIDITY"), empty for none
  QByteArray codeArgs;   // what follows it inside the brackets
  QByteArray text;       // the human-readable text (status responses, continuations)
  std::vector<Value> data;  // the values after the keyword (data responses)
  bool IsStatus() const {
    return keyword == "OK" || keyword == "NO" || keyword == "BAD" || keyword == "BYE" || keyword == "PREAUTH";
  }
};

// What one "* n FETCH (...)" carries of what the client asks for.
struct FetchData {
  qint64 uid = -1;
  qint64 size = -1;   // RFC822.SIZE
  bool hasBody = false;
  QByteArray body;    // BODY[]
};
// False when the items are no list of name/value pairs or a number is garbled.
bool ReadFetch(const Response& r, FetchData* out);
// A non-negative decimal number that fits in 63 bits.
bool ReadNumber(QByteArrayView text, qint64* out);

class Reader {
 public:
  enum Result { Incomplete, Ready, Bad };
  // The largest literal taken; a larger one announced is Bad before any of it is read.
  void SetMaxLiteral(qint64 bytes) { maxLiteral_ = bytes; }
  void Feed(QByteArrayView bytes) { buf_.append(bytes); }
  // The next complete response, if one is there. After Bad, error() says why, and the reader
  // stays Bad.
  Result Next(Response* out);
  QString error() const { return error_; }
  // Drops every byte not yet read (clear text behind STARTTLS's answer).
  void Clear();
  // Bytes held that belong to no complete response yet.
  qsizetype Buffered() const { return buf_.size() - start_; }

 private:
  Result Fail(const QString& why);
  QByteArray buf_;
  qsizetype start_ = 0;      // first byte of the response being read
  qsizetype lineStart_ = 0;  // first byte of its current line
  qsizetype scan_ = 0;       // where the search for the line end goes on
  qint64 literalLeft_ = -1;  // bytes of the literal still to come, -1 outside one
  int literals_ = 0;
  qint64 literalBytes_ = 0;
  qint64 maxLiteral_ = qint64(1) << 30;
  QString error_;
};

// Parses one complete response (lines with CR LF, literals in place). False with the reason.
bool Parse(const QByteArray& raw, Response* out, QString* error);

// A command argument as an IMAP string: quoted (with \ and " escaped) when it can be, else a
// literal announcement "{n}" (its bytes are sent after the server's "+"). literal is set then.
QByteArray Quoted(const QByteArray& text, bool* literal);
// A mailbox name in modified UTF-7 (RFC 3501, section 5.1.3).
QByteArray EncodeMailbox(const QString& name);
// Ascending, de-duplicated UIDs as a compact set: "1:5,7".
QByteArray UidSet(std::vector<quint32> uids);

}  // namespace imap
