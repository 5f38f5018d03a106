#pragma once
// The unique ids of the messages taken from each mailbox (UIDL for POP3, the file's unique name
// for a Maildir), each with the time it was first fetched: a message whose id is here is never
// written again, only deleted (or left on the server while the profile keeps messages there).
// Keyed by the mailbox (server, port and user; the Maildir's path), so that a renamed profile
// keeps its ids and a profile pointed at another mailbox starts afresh. An id stays only while it
// protects something: it leaves once the server has committed the message's deletion.
// A small file in the application folder, replaced whole on every change (a crash leaves the old
// one or the new one); a damaged one is renamed aside and a new one starts.
//
// Recording an id is the moment a message counts as taken. Its files are complete and flushed
// then, under hidden temporary names, and the entry lists them until they are in place: a run
// that ends in between puts them in place at the next start instead of fetching the message
// again; when one of them is gone by then, the id is dropped and the message fetched again.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "JsonRecordFile.h"
#include "delivery/Delivery.h"

namespace agent {

class Fleet;

inline const QString kIdJournalName = QStringLiteral("VRLEng31.uids");

class IdJournal {
 public:
  // The key of a POP3 mailbox, and of a Maildir.
  static QString Pop3Mailbox(const QString& user, const QString& host, quint16 port);
  static QString MaildirMailbox(const QString& path);
  // The key of an IMAP folder, with its UIDVALIDITY: a folder whose UIDVALIDITY changed is a new
  // mailbox (its UIDs may name other messages now).
  static QString ImapMailbox(const QString& user, const QString& host, quint16 port, const QString& folder,
                             quint32 uidValidity);
  // The other keys of the same IMAP folder (other UIDVALIDITY values) that still hold ids.
  QStringList OtherImapMailboxes(const QString& mailbox);

  // Moves the ids an older journal kept under the profile's name to its mailbox (once).
  void Migrate(const QString& profile, const QString& mailbox);
  // When the message with this id was first fetched (seconds since the epoch); -1 when never.
  qint64 FetchedAt(const QString& mailbox, const QByteArray& id);
  // A message recorded with the files it still has to put in place.
  struct Placing {
    QByteArray id;
    QList<delivery::StagedFile> files;
  };
  // Records the messages' ids as fetched at `when`, with their files still to be put in place
  // (flushed to disk), in one write. False when the journal could not be written: then nothing
  // is recorded.
  bool Record(const QString& mailbox, qint64 when, const QList<Placing>& messages);
  // The mailbox's files recorded last are in place.
  void Placed(const QString& mailbox);
  // The message recorded last with this id left no file after all: it is not taken (fetched
  // again).
  void Withdraw(const QString& mailbox, const QByteArray& id);
  // The server has committed the deletion of these messages: their ids protect nothing now.
  void Forget(const QString& mailbox, const QList<QByteArray>& ids);
  // Drops the mailbox's ids that the server no longer lists.
  void KeepOnly(const QString& mailbox, const std::vector<QByteArray>& onServer);

  // Puts in place the mailbox's files that a run left staged. True when nothing waits any more
  // (placed, or gone: then the id is dropped so that the message is fetched again; a line for the
  // log tells so in TakeErrors); false when they could not be placed now (the reason in
  // TakeErrors), and the message must not be deleted.
  bool FinishPlacing(const QString& mailbox);
  // The temporaries that entries of every mailbox still wait to put in place (a sweep keeps them);
  // nullopt when they cannot be known now (then nothing may be swept).
  std::optional<QSet<QString>> WaitingTemporaries();

  // A fleet keeps the journal in its database instead: each mailbox is read there once (its
  // profile's lease held), and every change is written there, fenced by that lease.
  void UseFleet(Fleet* fleet) { fleet_ = fleet; }

  // Lines for the log since the last call: writes that failed ("Cannot Write The File: ..."), a
  // damaged journal set aside, files gone before they were in place.
  QStringList TakeErrors();

 private:
  struct Mailbox {
    QHash<QByteArray, qint64> fetched;
    QList<Placing> placing;
  };
  void Load();
  bool Write(bool flush = true);
  // The mailbox is in memory (from the file, or from the fleet's database); false when the
  // database could not be read.
  bool LoadMailbox(const QString& mailbox);
  // Writes a change to the fleet's database (fenced); false, said in the errors, when it failed.
  bool FleetWrite(const char* sql, const QList<QByteArray>& params, qsizetype expected = -1);
  void FleetError(const QString& line);

  Fleet* fleet_ = nullptr;
  QSet<QString> fromDatabase_;

  JsonRecordFile file_{kIdJournalName};
  QHash<QString, Mailbox> mailboxes_;
  QStringList errors_;
};

}  // namespace agent
