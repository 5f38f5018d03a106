#pragma once
// The agent's one way of turning a received message into files of a profile's inbound folder,
// for every host type: the attachment files and the information files are staged under hidden
// names with free names chosen (delivery::MessageFiles), the message's id is recorded with them
// (flushed first), and all are put in place together. Only then may the message leave the server.
// Messages read ahead are staged one by one and committed together: one flush and one journal
// write for them all.
// A failure is the message's alone: its staged files are removed, an ERROR line says why, and the
// message stays to be tried again in the next cycle.
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "AgentContext.h"
#include "ConfRecords.h"
#include "IdJournal.h"
#include "InfoFiles.h"

namespace agent {

// One attachment of a received message.
struct InboundAttachment {
  QString name;            // as the message names it; empty for none
  bool supported = true;   // false: listed as kUnsupportedAttachment, no file
  // Writes the attachment's content into the new file at temp; false with *error set.
  std::function<bool(const QString& temp, QString* error)> write;
};

// Flushes the file system of a profile's inbound folder before a server may forget what went
// there; a failure is logged inside the profile's session lines.
bool FlushInboundFolder(AgentContext& agent, const QString& dir);

class InboundDelivery {
 public:
  // mailbox: the id journal's key for the profile's mailbox.
  InboundDelivery(AgentContext& agent, const ProfileRecord& profile, IdJournal& journal, QString mailbox);

  // Whether a message with this many attachments may be taken (MaxAttachments); logs the ALERT
  // that leaves it on the server otherwise. `what` names the message in that line.
  bool Allowed(qsizetype attachments, const QString& what);
  // Writes one message's files (header in rec, attachments as given) under hidden names, to be
  // put in place by the next Commit. id: its id in the journal, empty when the server gives none.
  // False when they could not be written (logged; nothing of the message stays).
  bool Stage(const QByteArray& id, ReceivedMessage rec, const QList<InboundAttachment>& attachments);
  qsizetype StagedCount() const { return qsizetype(staged_.size()); }
  // Flushes, records (one journal write) and puts in place every message staged since the last
  // Commit; for each, in the order staged, whether its files are in place (and its id recorded).
  // settling(k) is called before the lines about message k are logged, the lines about them all
  // (a failed flush or journal write) come before the first call.
  std::vector<bool> Commit(const std::function<void(qsizetype k)>& settling = {});
  // Stage and Commit of one message, with nothing else staged: true when its files are in place.
  bool Deliver(const QByteArray& id, ReceivedMessage rec, const QList<InboundAttachment>& attachments);
  // Puts in place what an interrupted run left for this mailbox and sweeps the folder's leftover
  // temporaries. False when the mailbox's messages must wait (logged).
  bool Resume();
  // Logs the journal's lines that wait (inside the profile's session lines).
  void ReportJournal();
  // Flushes the file system of the inbound folder; logs the failure.
  bool Flush();

 private:
  AgentContext& agent_;
  const ProfileRecord& profile_;
  IdJournal& journal_;
  const QString mailbox_;
  struct Staged {
    QByteArray id;
    std::unique_ptr<delivery::MessageFiles> files;
  };
  std::vector<Staged> staged_;
  QSet<QString> targets_;  // of every staged file: another message's file takes none of them
};

}  // namespace agent
