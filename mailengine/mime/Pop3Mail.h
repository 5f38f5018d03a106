#pragma once
// The records in which a received message and its attachments are handed back: filled by the
// parser (Pop3MimeParser), whichever transport brought the message (POP3_InMail::GetMail, a
// Maildir file). The caller owns them. The names stay those of the POP3 client that had them
// first.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// How the content of an attachment is encoded on the wire.
enum class Pop3TransferEncoding : quint8 {
  Plain,            // 7bit, 8bit or none: line ends as received, NUL bytes dropped
  Binary,           // bytes as they are
  Base64,
  QuotedPrintable,
  UUEncode,         // "begin ..." / "end" block (x-uue parts and blocks inside plain text)
};

// The raw bytes of one attachment's MIME part, held as a range of the retrieved message. Every
// attachment of a message shares that one buffer (implicit sharing), so a large attachment is
// never copied; it is decoded only when saved.
struct Pop3AttachmentData {
  QByteArray buffer;                // the whole retrieved message
  qsizetype partBegin = 0;          // the part's first header line
  qsizetype contentBegin = 0;       // the encoded content (after the part's empty line)
  qsizetype end = 0;                // one past the content's last byte
  Pop3TransferEncoding encoding = Pop3TransferEncoding::Plain;

  // The part as received: its header lines, the empty line and the encoded content.
  QByteArrayView Part() const {
    return QByteArrayView(buffer).sliced(partBegin, end - partBegin);
  }
  // The encoded content alone.
  QByteArrayView Content() const {
    return QByteArrayView(buffer).sliced(contentBegin, end - contentBegin);
  }
  bool IsEmpty() const { return end <= contentBegin; }
};

struct Pop3Mail {
  QByteArray Header;    // the header block with folded lines joined, as UTF-8
  QString from;         // the last "From" header, decoded
  QString To;
  QString Date;
  QString Subject;
  // The bodies, decoded, as UTF-8 (bytes, not UTF-16: a large body costs its own size).
  QByteArray Message;      // plain-text body
  QByteArray HTMLMessage;  // HTML body
  qint64 Size = 0;      // bytes of the retrieved message
  qint16 AttachedFiles = 0;
};

struct Pop3MailAttachments {
  QString Name;  // a bare file name (never a path), decoded; "unnamed" when the part has none
  Pop3AttachmentData Data;
};
