#pragma once
// Shared helpers of the POP3 tests: the message corpus and its expectations.
#include "pop3/POP3_InMail.h"
#include "pop3/Pop3Mail.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <ostream>
#include <vector>

// Test failures show texts as text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace pop3test {

QByteArray ReadFile(const QString& path);
// Names (without ".eml") of the corpus messages in tests/data/pop3.
QStringList CorpusNames();
QString CorpusPath(const QString& name, const char* suffix);
QJsonObject Expected(const QString& name);

// The decoded bytes of an attachment, written through a real file.
QByteArray SavedBytes(const Pop3AttachmentData& data);

// A RETR answer as a server sends it: status line, dot-stuffed message, final ".".
QByteArray RetrAnswer(const QByteArray& message);
// The message as the client gets it back from such an answer (a final CR LF added if missing).
QByteArray AsRetrieved(const QByteArray& message);

// Describes the parsed result in one text, for comparisons that must hold field by field.
QString Describe(const Pop3Mail& mail, const std::vector<Pop3MailAttachments>& attachments);

// Records the events of a client.
struct Events {
  explicit Events(POP3_InMail& client);
  QStringList failed;  // Pop3OperationFailed
};

}  // namespace pop3test
