#pragma once
// Information files: outbound ones are read value by value (a line number and two separators per
// value); inbound ones are written in one fixed labelled layout, one beside each attachment file
// (or MSG.<ext> for a message without attachments). Text is UTF-8, lines end with CR LF.
//
// Every file the agent writes into an inbound folder is written under a hidden temporary name in
// that folder (staged), and the files of a message are renamed into place together once all are
// written, so a program watching the folder never sees a half-written file or half a message.
// They are not flushed one by one: the caller flushes the file system (vrl::FlushFileSystemOf)
// before the messages are removed from the server.
#include "FileIo.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace agent {

// The marker the inbound list holds for an attachment that could not be taken.
inline const QString kUnsupportedAttachment =
    QStringLiteral("ERROR: The Message Contains an Attachment Type Not Supported");

// What an inbound information file describes.
struct ReceivedMessage {
  QString from;  // "???" when unknown
  QString subject;
  QString message;
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

// A file written under a temporary name, to be put in place as `target`: over whatever is there
// (replace), or under a free name made from it.
struct StagedFile {
  QString temp;
  QString target;
  bool replace = false;
  bool operator==(const StagedFile&) const = default;
};

// Writes the information files of a received message under temporary names in folder `dir` with
// extension `ext` and adds them to *staged; their targets avoid the targets already staged. On
// failure returns false and sets *error to a log text ("<path> - <reason>").
bool StageInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QList<StagedFile>* staged, QString* error = nullptr);
// The same, put in place at once.
bool WriteInboundInfoFile(const QString& dir, const ReceivedMessage& record, const QString& ext,
                          QString* error = nullptr);
// Puts staged files in place, in order. A file whose temporary is gone was put in place before,
// so placing the same list again after an interruption finishes it. False at the first failure,
// with *error a log text ("<target> - <reason>").
bool PlaceStagedFiles(const QList<StagedFile>& files, QString* error);
// The targets of staged files, for picking free names around them.
QSet<QString> StagedTargets(const QList<StagedFile>& files);

// The inbound layout of a record (every line ending with CR LF). The sender and the subject stay
// on their one line each (control characters and line breaks become spaces); the message text
// keeps its lines.
QByteArray InboundInfoText(const ReceivedMessage& record);

// A file name that stays one name inside its folder whatever a sender or a setting put into it:
// "/" and control characters become "_", and so does a leading dot (hidden names are the agent's).
QString OneFileName(QString name);

// A name nothing occupies yet: path itself, else the folder with "n-" in front of the name,
// n = 1 .. 32767. Any entry (file, folder, link) counts as taken, and so does every path in
// alsoTaken (names staged but not yet in place); "*" and "?" are plain characters.
QString MakeUniqueFileName(const QString& path, const QSet<QString>& alsoTaken = {});

// --- placing files ---

// A new hidden temporary name inside dir (the leftover sweep knows it by its prefix).
QString TemporaryNameIn(const QString& dir);
// Removes the temporaries an interrupted run left in dir, except those in keep (full paths).
void RemoveLeftoverTemporaries(const QString& dir, const QSet<QString>& keep = {});
// Renames `from` to a free name made from `wanted` (MakeUniqueFileName), never over an existing
// entry. Returns the name used, or empty (errno set) on failure; `from` then stays where it is.
QString RenameToFreeName(const QString& from, const QString& wanted);
// Inbound files are for the user and the programs that take them: readable as the umask allows.
inline constexpr mode_t kInboundMode = 0666;
// The text of an errno value.
QString ErrnoText(int err);

}  // namespace agent
