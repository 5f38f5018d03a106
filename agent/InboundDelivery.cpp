#include "InboundDelivery.h"

#include <QFile>
#include <cerrno>
#include <utility>

#include "Clock.h"
#include "FileFunctions.h"
#include "FileIo.h"

namespace agent {

InboundDelivery::InboundDelivery(AgentContext& agent, const ProfileRecord& profile, IdJournal& journal,
                                 QString mailbox)
    : agent_(agent), profile_(profile), journal_(journal), mailbox_(std::move(mailbox)) {}

void InboundDelivery::ReportJournal() {
  const QStringList errors = journal_.TakeErrors();
  if (errors.isEmpty()) return;
  agent_.WriteSessionLines();
  for (const QString& e : errors) agent_.LogAndShow(kLogError, e);
}

bool FlushInboundFolder(AgentContext& agent, const QString& dir) {
  if (vrl::FlushFileSystemOf(dir)) return true;
  const int err = errno;
  agent.WriteSessionLines();
  agent.Log(kLogError + QStringLiteral("Cannot Flush The Folder: ") + dir + QStringLiteral(" - ") + ErrnoText(err));
  return false;
}

bool InboundDelivery::Flush() { return FlushInboundFolder(agent_, profile_.InboundDir); }

bool InboundDelivery::Resume() {
  journal_.Migrate(profile_.Prfname, mailbox_);
  const bool finished = journal_.FinishPlacing(mailbox_);
  ReportJournal();
  // Two profiles may share the folder: what any mailbox still has to place stays.
  if (const auto waiting = journal_.WaitingTemporaries())
    delivery::RemoveLeftoverTemporaries(profile_.InboundDir, *waiting);
  ReportJournal();
  return finished;
}

bool InboundDelivery::Allowed(qsizetype attachments, const QString& what) {
  const qint32 limit = agent_.MaxAttachments();
  if (limit <= 0 || attachments <= limit) return true;
  agent_.Log(kLogAlert + QStringLiteral("Message With Too Many Attachments, Left On Server: ") + what +
             QStringLiteral(" - ") + QString::number(attachments) + QStringLiteral(" attachments"));
  return false;
}

bool InboundDelivery::Stage(const QByteArray& id, ReceivedMessage rec, const QList<InboundAttachment>& attachments) {
  const ProfileRecord& p = profile_;
  const FileFunctions ff;
  auto files = std::make_unique<delivery::MessageFiles>(p.InboundDir);
  files->Avoid(targets_);
  for (const InboundAttachment& a : attachments) {
    if (!a.supported) {
      agent_.LogAndShow(kLogError, QStringLiteral("The Message Contains an Attachment Type Not Supported"));
      rec.attachments << kUnsupportedAttachment;
      continue;
    }
    QString ext = p.FileExtention;
    const QString name =
        OneFileName(ff.ModifiFileExtention(a.name.isEmpty() ? QStringLiteral("NO_NAME") : a.name, ext));
    if (!p.CreateAttchsInMsgs) {
      rec.attachments << name;
      continue;
    }
    const QString target = files->FreeTarget(name);
    agent_.Log(kLogInfo + QStringLiteral("Creating File: ") + target);
    const QString temp = files->NewTemporary();
    QString error;
    if (!a.write(temp, &error) || !files->Add(temp, target)) {
      if (error.isEmpty()) error = ErrnoText(errno);
      error.replace(temp, target);  // the hidden name means nothing to a reader of the log
      QFile::remove(temp);
      agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + target + QStringLiteral(" - ") + error);
      return false;
    }
    rec.attachments << target;
    agent_.DoEvents();
  }
  if (p.CreateInfFileInboundMsgs) {
    agent_.DoEvents();
    QString error;
    if (!StageInboundInfoFile(*files, rec, p.ResFilesExtention, &error)) {
      agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
      return false;
    }
    agent_.DoEvents();
  }
  for (const delivery::StagedFile& f : files->Files()) targets_.insert(f.target);
  staged_.push_back({id, std::move(files)});
  return true;
}

std::vector<bool> InboundDelivery::Commit(const std::function<void(qsizetype k)>& settling) {
  std::vector<Staged> staged = std::exchange(staged_, {});
  targets_.clear();
  std::vector<bool> placed(staged.size(), false);
  // With an id, a message counts as taken once the id is recorded: its files are on disk by
  // then, and the journal names them until they are in place.
  QList<IdJournal::Placing> recorded;
  for (const Staged& s : staged)
    if (!s.id.isEmpty()) recorded.append({s.id, s.files->Files()});
  if (!recorded.isEmpty()) {
    if (!Flush()) return placed;
    if (!journal_.Record(mailbox_, vrl::Now().toSecsSinceEpoch(), recorded)) {
      ReportJournal();
      return placed;
    }
  }
  for (size_t k = 0; k < staged.size(); ++k) {
    if (settling) settling(qsizetype(k));
    QString error;
    placed[k] = staged[k].files->Place(&error);
    if (placed[k]) continue;
    agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
    if (!staged[k].id.isEmpty()) journal_.Withdraw(mailbox_, staged[k].id);
    ReportJournal();
  }
  if (!recorded.isEmpty()) journal_.Placed(mailbox_);
  ReportJournal();
  return placed;
}

bool InboundDelivery::Deliver(const QByteArray& id, ReceivedMessage rec, const QList<InboundAttachment>& attachments) {
  return Stage(id, std::move(rec), attachments) && Commit().front();
}

}  // namespace agent
