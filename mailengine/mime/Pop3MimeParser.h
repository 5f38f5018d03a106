#pragma once
// Splitting a retrieved message into the Pop3Mail record and its attachments, and writing an
// attachment's decoded content into a new file.
#include "mime/Pop3Mail.h"

#include <QByteArray>
#include <QString>
#include <vector>

#include "vrlime_export.h"

namespace pop3mime {

// Multipart containers nested deeper than this are not opened; such a container is handed on
// whole as one attachment, so nothing is lost.
inline constexpr int kMaxMultipartDepth = 32;
// Attachments beyond this count (the record's 16-bit counter) are not listed.
inline constexpr int kMaxAttachments = 32767;
// The most of a header field's value that is kept for decoding (a line holds 998 characters at
// most; no sender folds a field near this): a hostile header costs no more than this per field.
inline constexpr qsizetype kMaxFieldValue = 64 * 1024;

// Parses one message (dot-unstuffed, without the POP3 status line and the final "."). The
// records are emptied first. Attachments keep a shared reference to the message's buffer.
VRLIME_EXPORT void ParseMessage(const QByteArray& message, Pop3Mail& mail,
                  std::vector<Pop3MailAttachments>& attachments);

// Decodes an attachment into a new file, block by block. Throws vrl::VrlError "File already
// exists!" (0x80040210) when anything exists at the path (the file is created exclusively, so an
// existing file is never touched) and "Path not found!" (0x8004020F) when its folder does not
// exist. Any other failure (no permission, disk full) returns false with the reason in *error;
// no partial file is left behind. The file's data and name reach the disk before true is
// returned, unless flush is false (a caller that flushes the whole batch once, before the
// messages leave the server).
bool SaveAttachmentData(const Pop3AttachmentData& data, const QString& fileAndPathName,
                        QString* error, bool flush = true);

}  // namespace pop3mime
