#include "Outbound.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "Clock.h"
#include "FileFunctions.h"
#include "InfoFiles.h"
#include "MailHost.h"
#include "ProfileUnattended.h"
#include "RetryJournal.h"

namespace agent {
namespace {

// A run-time error in the log's terms: "ERROR:\t  53 File not found", box "Error : 53\r...".
void ReportRuntimeError(AgentContext& agent, int number, const QString& description) {
  const QString num = (number >= 0 ? QStringLiteral(" ") : QString()) + QString::number(number);
  agent.Log(kLogError + num + QLatin1Char(' ') + description);
  agent.Show(QStringLiteral("Error :") + num + QLatin1Char('\r') + description);
}

// Subject or text by its line setting: -1 the attachment's file name, -2 the same without its
// extension, 1.. a line of the information file (*why: why the file could not be read), anything
// else empty.
QString FieldByLine(const QString& infoFile, const QString& attachment, qint16 line,
                    const QString& sep1, const QString& sep2, QString* why) {
  const FileFunctions ff;
  if (line == -1 || line == -2) {
    if (attachment.isEmpty()) return {};
    QString name = ff.GetFileNameFromPath(attachment);
    if (line == -2) {
      const QString ext = ff.GetFileNameExtention(name);
      if (!ext.isEmpty()) name.chop(ext.size() + 1);
    }
    return name;
  }
  if (line >= 1) return ReadInfoFileField(infoFile, line, sep1, sep2, why);
  return {};
}

void DeleteSent(AgentContext& agent, const QString& path) {
  if (QFile::remove(path)) return;
  agent.Log(kLogError + QStringLiteral("Cannot Delete The File: ") + path);
  agent.Show(QStringLiteral("Error: Cannot Delete The File: ") + path);
}

void ReportJournal(AgentContext& agent, RetryJournal& journal) {
  const QString error = journal.TakeWriteError();
  if (!error.isEmpty()) agent.Log(kLogError + QStringLiteral("Cannot Write The File: ") + error);
}

// The file is done with (sent, or renamed to "BAD"): it waits no more.
void Settled(AgentContext& agent, RetryJournal& journal, const QString& path) {
  journal.Forget(path);
  ReportJournal(agent, journal);
}

void RenameBad(AgentContext& agent, RetryJournal& journal, const QString& path) {
  const QString to = ChangeFileExtension(agent, path, QStringLiteral("BAD"));
  agent.Log(kLogInfo + QStringLiteral("Changing File Name To: ") + to);
  if (!to.isEmpty()) agent.Count(HealthCount::Bad);
  Settled(agent, journal, path);
}

// After a failed send: true when the file stays for a later cycle, because the profile retries,
// the failure may pass, and the file has not been failing for longer than RetryHours.
bool KeepForRetry(AgentContext& agent, const ProfileRecord& p, const MailHost& host,
                  RetryJournal& journal, const QString& path) {
  const ProfileUnattended u = conf::ReadProfileUnattended(p);
  const QString reason = host.TransientFailure();
  if (!u.RetryTransient || reason.isEmpty()) return false;
  const qint64 failing = journal.FailedFor(path, vrl::Now());
  ReportJournal(agent, journal);
  if (failing > qint64(u.RetryHours) * 3600) return false;
  agent.Log(kLogAlert + QStringLiteral("Message Not Sent, Will Retry: ") + path + QStringLiteral(" - ") + reason);
  agent.Count(HealthCount::Retried);
  return true;
}

}  // namespace

QString ChangeFileExtension(AgentContext& agent, const QString& path, const QString& ext) {
  QString x = ext;
  const QString wanted = FileFunctions().ModifiFileExtention(path, x);
  const QString to = RenameToFreeName(path, wanted);
  if (!to.isEmpty()) return to;
  if (errno == ENOENT) {
    ReportRuntimeError(agent, 53, QStringLiteral("File not found"));
  } else {
    agent.LogAndShow(kLogError, QStringLiteral("Cannot Rename The File: ") + path);
  }
  return {};
}

void ProcessOutboundFile(AgentContext& agent, const ProfileRecord& p, MailHost& host,
                         const QString& folder, const QString& name, RetryJournal& journal) {
  const QString path = folder + QLatin1Char('/') + name;
  QString address, attachment, subject, text;

  if (p.OutboundMode == 2) {
    agent.Log(kLogInfo + QStringLiteral("Processing File: ") + path);
    // A file that cannot be read, or whose line runs past the limit, cannot be sent either.
    QString why;
    const auto unreadable = [&] {
      if (why.isEmpty()) return false;
      const QString what = QStringLiteral("Cannot Read The File: ") + path + QStringLiteral(" - ") + why;
      agent.Log(kLogError + what);
      RenameBad(agent, journal, path);
      agent.Show(what);
      return true;
    };
    address = ReadInfoFileField(path, p.AdressLin, p.Adress1Sep, p.Adress2Sep, &why);
    if (unreadable()) return;
    if (address.isEmpty()) {
      agent.Log(kLogError + QStringLiteral("Invalid Destination Address In File: ") + path);
      RenameBad(agent, journal, path);
      agent.Show(QStringLiteral("Invalid Destination Address In File: ") + path);
      return;
    }
    attachment = ReadInfoFileField(path, p.FileLin, p.File1Sep, p.File2Sep, &why).trimmed();
    if (unreadable()) return;
    if (attachment.isEmpty()) {
      agent.Log(kLogError + QStringLiteral("Invalid Attachment Name In File: ") + path);
      RenameBad(agent, journal, path);
      agent.Show(QStringLiteral("Invalid Attachment Name In File: ") + path);
      return;
    }
    // Anyone who may write the outbound folder names the file: only the allowed folders count.
    if (QFileInfo::exists(attachment) && !conf::InsideAttachmentFolders(attachment, conf::ReadAttachmentFolders(p))) {
      const QString what = QStringLiteral("Attachment Outside The Allowed Folders: ") + attachment;
      agent.Log(kLogError + what + QStringLiteral(" (in ") + path + QLatin1Char(')'));
      RenameBad(agent, journal, path);
      agent.Show(what);
      return;
    }
    subject = FieldByLine(path, attachment, p.SubjectLin, p.Subject1Sep, p.Subject2Sep, &why);
    if (unreadable()) return;
    text = FieldByLine(path, attachment, p.MsgLin, p.Msg1Sep, p.Msg2Sep, &why);
    if (unreadable()) return;
  } else {
    agent.Log(kLogInfo + QStringLiteral("Sending New Message"));
    address = p.RecAddress;
    subject = p.Subject;
    text = p.MsgText;
    attachment = path;
  }

  agent.Log(kLogInfo + QStringLiteral("Destination Address: ") + address);
  agent.Log(kLogInfo + QStringLiteral("Attachment File: ") + attachment);

  if (!host.ExecSendMail(address, attachment, subject, text)) {
    if (!KeepForRetry(agent, p, host, journal, path)) RenameBad(agent, journal, path);
    agent.DoEvents();
    return;
  }

  agent.Count(HealthCount::Sent);
  if (p.RenamedFilesExtention.isEmpty())
    DeleteSent(agent, path);
  else
    ChangeFileExtension(agent, path, p.RenamedFilesExtention);
  Settled(agent, journal, path);
  if (p.OutboundMode == 2 && p.DeleteInterchange) DeleteSent(agent, attachment);
}

}  // namespace agent
