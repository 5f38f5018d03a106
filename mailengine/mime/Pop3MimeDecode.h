#pragma once
// Decoding of what a received message holds: content transfer encodings (streaming, in blocks),
// character sets, encoded words in header text, MIME parameters with their continuations, and
// the safe file name of an attachment.
#include "pop3/Pop3Mail.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace pop3mime {

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
bool DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding, const ByteSink& sink);
QByteArray DecodeContent(QByteArrayView content, Pop3TransferEncoding encoding);

// Text of bytes in a declared character set. Without one, or with "us-ascii", valid UTF-8 is
// read as UTF-8 and anything else as Windows-1252; "iso-8859-1" is read as Windows-1252 (its
// superset, as senders mean it); an unknown name falls back to the same rule.
QString BytesToText(QByteArrayView bytes, QByteArrayView charset = {});

// A header value (raw bytes, already unfolded) as text: 8-bit bytes read as UTF-8 or
// Windows-1252, then every encoded word (=?charset?B|Q?...?=) decoded from its character set;
// white space between two adjacent encoded words is dropped.
QString DecodeHeaderText(QByteArrayView raw);

// A structured header value such as Content-Type or Content-Disposition: the leading value in
// lower case and the parameters, names in lower case, values as given (quotes and escapes
// removed). The first of two parameters with the same name counts.
struct ContentField {
  QByteArray value;
  std::vector<std::pair<QByteArray, QByteArray>> params;

  const QByteArray* Param(QByteArrayView name) const;
};
ContentField ParseContentField(QByteArrayView raw);

// A parameter as text, from any of its forms: name*=charset'lang'%XX (RFC 2231), the
// continuations name*0*= / name*1= ..., or plain name= (whose value may hold encoded words).
// Empty optional when the parameter is absent.
std::optional<QString> ParamText(const ContentField& field, QByteArrayView name);

// A name that cannot leave the folder it is saved into: control characters, "/" and "\" are
// removed, then leading dots and surrounding blanks; the result is cut to a length every file
// system takes (keeping its extension); empty becomes "unnamed".
QString SafeAttachmentName(const QString& name);

}  // namespace pop3mime
