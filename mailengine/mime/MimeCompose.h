#pragma once
// What SMTP_OutMail writes after DATA: header lines, the text part, attachments (base64 or
// uuencode, streamed from their files), the multipart layout. Everything here produces the
// bytes as they go on the wire (dot-stuffing included), short of the final ".".
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace mimecompose {

struct AttachmentInfo {
  QString path;           // full path
  QString name;           // text after the last "/"
  qint64 size = 0;        // bytes when Attachment was set
  bool embedded = false;  // the HTML body refers to it (cid:)
};

struct MessageContent {
  QString from;
  QString fromDisplayName;
  QString replyTo;
  QString subject;
  QStringList to, toNames;  // names already resized to the addresses
  QStringList cc, ccNames;
  QString body;             // processed body lines (codec::ProcessBodyLines)
  bool asHtml = false;
  QString contentBase;      // already normalised
  int priority = 3;
  QString priorityText = QStringLiteral("Normal");
  bool receipt = false;
  bool uuencode = false;
  std::vector<AttachmentInfo> attachments;

  bool Multipart() const { return !uuencode && !attachments.empty(); }
  bool Related() const;
};

// Rewrites references of the HTML body to attachment files into "cid:" + name and marks those
// attachments embedded. Returns true when any was.
bool MarkEmbedded(QString& body, std::vector<AttachmentInfo>& attachments);

// "----_=_NextPart_000_" + serial day number + "." + fraction of the day, both in hexadecimal.
QByteArray MakeBoundary(const QDateTime& now);
// "+HHMM" / "-HHMM" for an offset from UTC in seconds.
QByteArray ZoneSuffix(int utcOffsetSeconds);
// "Sun, 6 Dec 2026 04:30:43 +0000".
QByteArray DateText(const QDateTime& now, int utcOffsetSeconds);
// Display text + " <" + address + ">".
QByteArray FromValue(const MessageContent& m);
// Recipients, one per folded line.
QByteArray AddressListValue(const QStringList& addresses, const QStringList& names);
// Content type registered for the extension of a file name (QMimeDatabase), else strDefault.
QString GetContentType(const QString& strFile, const QString& strDefault = QString());

// The header, the text part and the body, up to the first attachment.
QByteArray ComposeHead(const MessageContent& m, const QByteArray& boundary, const QDateTime& now,
                       int utcOffsetSeconds);
// The lines in front of one attachment's data.
QByteArray AttachmentHead(const MessageContent& m, const AttachmentInfo& a, const QByteArray& boundary);
// What follows the last attachment ("--" + boundary + "--" in multipart mode).
QByteArray Closing(const MessageContent& m, const QByteArray& boundary);
// Bytes of an attachment's data once encoded, and the estimate of the whole message after DATA.
qint64 EncodedDataSize(qint64 fileSize, bool uuencode);
qint64 EstimateSize(const MessageContent& m, const QByteArray& head, const QByteArray& boundary);

// Streams a message to a sink. The sink returns false to stop (it keeps its own reason).
class MessageWriter {
 public:
  using Sink = std::function<bool(const QByteArray&)>;
  using StatusFn = std::function<void(const QString&)>;

  // Base64 data is read and sent in blocks of this many bytes (a whole number of 57-byte lines).
  static constexpr qint64 kBlockBytes = 11400;

  // Writes head, attachments and closing. On a failure of its own (a file that cannot be read)
  // it sets *error and returns false; when the sink refuses it returns false leaving *error as
  // it is.
  static bool Write(const MessageContent& m, const QByteArray& head, const QByteArray& boundary,
                    const Sink& sink, const StatusFn& status, QString* error);
};

// The whole message as bytes (for tests and tools). False when an attachment cannot be read.
bool ComposeToBytes(const MessageContent& m, const QDateTime& now, int utcOffsetSeconds,
                    QByteArray* out, QString* error = nullptr);

}  // namespace mimecompose
