#pragma once
// Information files: outbound ones are read value by value (a line number and two separators per
// value); inbound ones are written in one fixed labelled layout, one beside each attachment file
// (or MSG.<ext> for a message without attachments). Text is UTF-8, lines end with CR LF.
// The files of a received message reach the inbound folder through the delivery component
// (delivery/Delivery.h): staged, then put in place together, never over a file already there.
#include <QString>
#include <QStringList>

#include "delivery/Delivery.h"

namespace agent {

// The marker the inbound list holds for an attachment that could not be taken.
inline const QString kUnsupportedAttachment =
    QStringLiteral("ERROR: The Message Contains an Attachment Type Not Supported");

// What an inbound information file describes.
struct ReceivedMessage {
  QString from;  // "???" when unknown
  QString subject;
  QByteArray message;  // UTF-8
  // Per attachment: the full path of the file created for it, or (attachment files off) its name
  // with the inbound extension, or kUnsupportedAttachment.
  QStringList attachments;
};

// The longest line (without its line end) an outbound information file may have up to the line
// asked for: whatever the file holds, reading a value costs at most this much memory.
inline constexpr qsizetype kMaxInfoLineBytes = 1024 * 1024;

// The value on line `line` (from 1) of file: from after the first start separator (letter case
// ignored) to before the last end separator behind it. Empty when the file cannot be read, has
// fewer lines, or a separator is missing. An empty start separator starts the value at the
// beginning of the line, an empty end separator ends it at the end of the line. Lines end with
// LF (the CRs before it are dropped); the file is read only up to the end of that line, and a
// line up to it longer than kMaxInfoLineBytes is an error. *error (when given) says why the file
// could not be read ("line 2 is longer than 1048576 bytes", an errno text); it is empty when the
// file was read, even without the value.
QString ReadInfoFileField(const QString& file, qint16 line, const QString& startSep,
                          const QString& endSep, QString* error = nullptr);

// Writes the information files of a received message into the message's staged files, under
// free names: one beside each attachment file (its name with extension ext), or MSG.<ext> for a
// message without attachments. On failure returns false and sets *error to a log text
// ("<path> - <reason>").
bool StageInboundInfoFile(delivery::MessageFiles& files, const ReceivedMessage& record, const QString& ext,
                          QString* error = nullptr);
// The same, put in place at once.
bool WriteInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QString* error = nullptr);

// The inbound layout of a record (every line ending with CR LF). The sender and the subject stay
// on their one line each (control characters and line breaks become spaces); the message text
// keeps its lines.
QByteArray InboundInfoText(const ReceivedMessage& record);

// Placing files is the delivery component's; the agent's steps use it under these names.
using delivery::ErrnoText;
using delivery::MakeUniqueFileName;
using delivery::OneFileName;
using delivery::RenameToFreeName;
using delivery::StagedFile;

}  // namespace agent
