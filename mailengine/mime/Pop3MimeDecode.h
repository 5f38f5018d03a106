#pragma once
// The structure of a received message's header fields: MIME parameters with their
// continuations, and the safe file name of an attachment. The codecs are in mime/Codec.h.
#include "mime/Pop3Mail.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "vrlime_export.h"

namespace pop3mime {

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
VRLIME_EXPORT QString SafeAttachmentName(const QString& name);

}  // namespace pop3mime
