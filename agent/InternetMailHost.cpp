#include "InternetMailHost.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include "Clock.h"
#include "FileFunctions.h"
#include "InfoFiles.h"
#include "PasswordCommand.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SMTP_OutMail.h"
#include "socket/Test_Com.h"
#include "VrlError.h"

using agent::ErrnoText;
using agent::OneFileName;
using agent::StagedFile;

namespace {

// What the POP3 client says when the server refuses UIDL; any other failure of UIDL means the
// session broke.
const QString kNoUidl = QStringLiteral("The POP3 server does not support UIDL");

void RemoveStaged(const QList<StagedFile>& files) {
  for (const StagedFile& f : files) QFile::remove(f.temp);
}

}  // namespace

InternetMailHost::InternetMailHost(AgentContext& agent, const ProfileRecord& profile)
    : agent_(agent), profile_(profile) {}

InternetMailHost::~InternetMailHost() = default;

void InternetMailHost::ForceHostConnetivity(QString HostType, QString Loc_Pop3Server,
                                            QString Loc_SmtpServer, qint16 Loc_TimeOutSecs) {
  Test_Com test;
  qint16 retries = 0;
  const QString kind = HostType.toUpper();
  if (kind == QLatin1String("ALL")) {
    test.TestHost(Loc_Pop3Server, Loc_TimeOutSecs, retries);
    if (Loc_SmtpServer != Loc_Pop3Server) test.TestHost(Loc_SmtpServer, Loc_TimeOutSecs, retries);
  } else if (kind == QLatin1String("POP3")) {
    test.TestHost(Loc_Pop3Server, Loc_TimeOutSecs, retries);
  } else if (kind == QLatin1String("SMTP")) {
    test.TestHost(Loc_SmtpServer, Loc_TimeOutSecs, retries);
  }
}

void InternetMailHost::DebugLine(const QString& line, const QString& box, vrl::MsgBoxIcon icon) {
  if (!agent_.ModeDebug()) return;
  agent_.Log(line);
  agent_.Show(box, icon);
}

void InternetMailHost::WatchPop3Events() {
  POP3_InMail* c = IN_Pop3Mail.get();
  const auto head = [this] {
    return QStringLiteral("DEBUG POP3: Profile \"") + agent_.CurrentProfileName() +
           QLatin1Char('"');
  };
  QObject::connect(c, &POP3_InMail::Pop3OperationFailed, [this, head](const QString& e) {
    DebugLine(head() + QLatin1Char(' ') + e, head() + e, vrl::MsgBoxIcon::Exclamation);
  });
  QObject::connect(c, &POP3_InMail::Pop3Status, [this, head](const QString& s) {
    const QString t = head() + QStringLiteral(" Status: ") + s;
    DebugLine(t, t, vrl::MsgBoxIcon::Exclamation);
  });
}

void InternetMailHost::WatchSmtpEvents() {
  SMTP_OutMail* c = OUT_SmtpMail.get();
  const auto head = [this] {
    return QStringLiteral("DEBUG SMTP: Profile \"") + agent_.CurrentProfileName() +
           QLatin1Char('"');
  };
  QObject::connect(c, &SMTP_OutMail::SendFailed, [this, head](const QString& e) {
    DebugLine(head() + QLatin1Char(' ') + e, head() + e, vrl::MsgBoxIcon::Exclamation);
  });
  QObject::connect(c, &SMTP_OutMail::Status, [this, head](const QString& s) {
    const QString t = head() + QStringLiteral(" Status: ") + s;
    DebugLine(t, t, vrl::MsgBoxIcon::None);
  });
  QObject::connect(c, &SMTP_OutMail::Progress, [this, head](long percent) {
    const QString t = head() + QStringLiteral(" Percent Complete:") + QString::number(percent);
    DebugLine(t, t, vrl::MsgBoxIcon::None);
  });
  QObject::connect(c, &SMTP_OutMail::SendSuccesful, [this, head] {
    DebugLine(QStringLiteral("DEBUG: Profile \"") + agent_.CurrentProfileName() +
                  QStringLiteral("\" Message sent successful"),
              head() + QStringLiteral(" Message sent successful"), vrl::MsgBoxIcon::None);
  });
}

vrlsec::Settings InternetMailHost::SecurityFor(bool smtp) const {
  return conf::ReadProfileSecurity(profile_).ClientSettings(smtp);
}

void InternetMailHost::Open() {
  // A password command runs once per session opening (a token may have been renewed).
  password_ = profile_.Pop3SmtpPws;
  const QString command = conf::ReadProfileSecurity(profile_).PasswordCommand;
  if (!command.trimmed().isEmpty()) {
    QString error;
    if (!vrl::RunPasswordCommand(command, &password_, &error)) {
      agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" ") + error);
      smtpMissing_ = error;
      return;
    }
  }
  pop3InUse_ = !profile_.Pop3Server.trimmed().isEmpty();
  if (pop3InUse_) ConnectPop3();
  smtpInUse_ = !profile_.SmtpServer.trimmed().isEmpty();
  if (smtpInUse_) ConnectSmtp();
}

void InternetMailHost::ConnectPop3() {
  const ProfileRecord& p = profile_;
  IN_Pop3Mail = std::make_unique<POP3_InMail>();
  WatchPop3Events();
  IN_Pop3Mail->SetSecurity(SecurityFor(false));
  QObject::connect(IN_Pop3Mail.get(), &POP3_InMail::SecureConnection, [this](const QString& how) {
    agent_.LogWithSession(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
                          QStringLiteral("\" POP3 connection under ") + how);
  });
  auto attempt = [&](qint16 timeout) {
    IN_Pop3Mail->SetTimeOutNSeconds(timeout);
    quint16 port = p.Pop3TcpPort;
    return IN_Pop3Mail->ConnectToPop3Server(p.UserName, password_, p.Pop3Server, port);
  };
  if (attempt(10)) return;
  ForceHostConnetivity(QStringLiteral("POP3"), p.Pop3Server, QString(), p.TimeOutSecs);
  if (attempt(p.TimeOutSecs)) return;
  agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + p.Prfname +
                                   QStringLiteral("\" Error connecting to POP3 Server Server: ") +
                                   IN_Pop3Mail->GetLastError());
  IN_Pop3Mail.reset();
}

void InternetMailHost::ConnectSmtp() {
  const ProfileRecord& p = profile_;
  OUT_SmtpMail = std::make_unique<SMTP_OutMail>();
  SMTP_OutMail& s = *OUT_SmtpMail;
  WatchSmtpEvents();
  s.SetSMTPPort(p.SmtpTcpPort);
  s.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_NONE);
  s.SetEmailAddressValidation(SMTP_OutMail::VALIDATE_SYNTAX);
  s.SetDelimiter(QStringLiteral(";"));
  s.SetSMTPHost(p.SmtpServer);
  s.Setfrom(p.FromAddress);
  s.SetFromDisplayName(p.FromName);
  s.SetUseAuthentication(p.SmtpRequiresLogin);
  s.SetUsePopAuthentication(p.Pop3LoginBeforeSndMail);
  s.SetUsername(p.UserName);
  s.SetPassword(password_);
  s.SetSecurity(SecurityFor(true));
  QObject::connect(&s, &SMTP_OutMail::SecureConnection, [this](const QString& how) {
    agent_.LogWithSession(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
                          QStringLiteral("\" SMTP connection under ") + how);
  });
  s.SetPOP3Port(p.Pop3TcpPort);
  s.SetPOP3Host(p.Pop3Server);
  s.SetTimeOutNSeconds(10);
  if (s.Connect()) return;
  ForceHostConnetivity(QStringLiteral("SMTP"), QString(), p.SmtpServer, p.TimeOutSecs);
  s.SetTimeOutNSeconds(static_cast<int>(p.TimeOutSecs));
  if (s.Connect()) return;
  const QString error = QStringLiteral("Error connecting to SMTP Server: ") + s.GetLastError();
  agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + p.Prfname + QStringLiteral("\" ") + error);
  if (s.LastFailureTransient()) smtpMissing_ = error;
  OUT_SmtpMail.reset();
}

void InternetMailHost::Close() {
  if (pop3InUse_ && IN_Pop3Mail) {
    // QUIT makes the server forget the messages deleted in this session, so every file written
    // for them must be on disk first. When a folder cannot be flushed, the connection ends
    // without QUIT and the server keeps them all.
    bool flushed = true;
    for (const QString& dir : std::as_const(foldersWritten_)) flushed = FlushToDisk(dir) && flushed;
    foldersWritten_.clear();
    if (flushed) IN_Pop3Mail->DisConnectFromPop3Server();
    IN_Pop3Mail.reset();
  }
  if (smtpInUse_ && OUT_SmtpMail) {
    OUT_SmtpMail->Disconnect();
    OUT_SmtpMail.reset();
  }
}

bool InternetMailHost::ExecSendMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject,
                                    QString& MsgText) {
  MsgText += QStringLiteral("\r ");
  transientFailure_.clear();
  if (!FileFunctions().FileExists(FileToSend)) {
    agent_.LogAndShow(kLogError, QStringLiteral("Attachment File Not Found: ") + FileToSend);
    return false;
  }
  if (!OUT_SmtpMail) {
    // The connection failed when the session opened: there is no client to send with.
    const QString desc = QStringLiteral("Object variable or With block variable not set");
    agent_.Log(kLogError + QStringLiteral(" 91 ") + desc);
    agent_.Show(QStringLiteral("Error : 91\r") + desc);
    transientFailure_ = smtpMissing_;
    return false;
  }
  SMTP_OutMail& s = *OUT_SmtpMail;
  s.SetRecipient(DestAdreess);
  s.SetSubject(MsgSubject);
  s.SetMessage(MsgText);
  if (!FileToSend.isEmpty()) s.SetAttachment(FileToSend.trimmed());
  if (s.send()) {
    agent_.Log(kLogInfo + QStringLiteral("Message Successfully Sent"));
    return true;
  }
  agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + agent_.CurrentProfileName() +
                                   QStringLiteral("\" Error sending message: ") + s.GetLastError());
  if (s.LastFailureTransient()) transientFailure_ = s.GetLastError();
  return false;
}

bool InternetMailHost::FlushToDisk(const QString& dir) {
  if (vrl::FlushFileSystemOf(dir)) return true;
  agent_.Log(kLogError + QStringLiteral("Cannot Flush The Folder: ") + dir + QStringLiteral(" - ") +
             ErrnoText(errno));
  return false;
}

void InternetMailHost::ReportJournal() {
  const QString error = journal_.TakeWriteError();
  if (!error.isEmpty()) agent_.LogAndShow(kLogError, QStringLiteral("Cannot Write The File: ") + error);
}

QString InternetMailHost::SaveAttachment(const Pop3MailAttachments& a, const QString& dir,
                                         QString* error) {
  const QString temp = agent::TemporaryNameIn(dir);
  bool saved = false;
  try {
    // Flushed with the rest of the message, or of the session before QUIT.
    saved = IN_Pop3Mail->SaveAttachmentDataToFile(a.Data, temp, false);
    if (!saved) *error = IN_Pop3Mail->GetLastError();
  } catch (const vrl::VrlError& e) {
    *error = e.Description();
  }
  if (saved) return temp;
  QFile::remove(temp);
  return {};
}

bool InternetMailHost::FinishPlacing() {
  const QList<StagedFile> waiting = journal_.Unplaced();
  if (waiting.isEmpty()) return true;
  QString error;
  if (!agent::PlaceStagedFiles(waiting, &error)) {
    agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
    return false;
  }
  QSet<QString> folders;
  for (const StagedFile& f : waiting) folders.insert(QFileInfo(f.target).path());
  for (const QString& dir : std::as_const(folders))
    if (!FlushToDisk(dir)) return false;
  journal_.AllPlaced();
  ReportJournal();
  return true;
}

bool InternetMailHost::PlanInbound(qint16 n) {
  const QString& name = profile_.Prfname;
  const ProfileUnattended u = conf::ReadProfileUnattended(profile_);
  keepOnServer_ = u.KeepOnServer;
  takes_.assign(static_cast<size_t>(n) + 1, Take::Fetch);
  ids_.clear();
  sizes_.clear();
  std::vector<QByteArray> ids;
  if (IN_Pop3Mail->GetUniqueIds(ids)) {
    // Without an id for every message the journal cannot answer for any.
    const auto missing = [](const QByteArray& id) { return id.isEmpty(); };
    if (ids.size() == takes_.size() && std::none_of(ids.begin() + 1, ids.end(), missing)) ids_ = std::move(ids);
  } else if (IN_Pop3Mail->GetLastError() != kNoUidl) {
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Error Retriving Message Ids: ") + IN_Pop3Mail->GetLastError());
    return false;
  }
  if (keepOnServer_ && ids_.empty()) {
    // Without ids a message left on the server would be fetched again in every cycle.
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + name + QStringLiteral("\" Cannot Keep Messages On ") +
                                     QStringLiteral("Server: the POP3 server gives no message ids (UIDL)"));
    return false;
  }
  const qint64 limit = qint64(agent_.MaxMessageMB()) * 1024 * 1024;
  if (limit > 0 && !IN_Pop3Mail->GetSizes(sizes_)) {
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Error Retriving Message Sizes: ") + IN_Pop3Mail->GetLastError());
    return false;
  }
  if (!ids_.empty()) {
    journal_.KeepOnly(name, ids_);
    ReportJournal();
  }
  const qint64 now = vrl::Now().toSecsSinceEpoch();
  for (size_t i = 1; i < takes_.size(); ++i) {
    const qint64 fetched = ids_.empty() ? -1 : journal_.FetchedAt(name, ids_[i]);
    if (fetched >= 0) {
      const bool expired = u.KeepDays > 0 && now - fetched >= qint64(u.KeepDays) * 86400;
      takes_[i] = keepOnServer_ && !expired ? Take::Leave : Take::Delete;
    } else if (limit > 0 && i < sizes_.size() && sizes_[i] > limit) {
      takes_[i] = Take::TooLarge;
    }
  }
  return true;
}

bool InternetMailHost::PassOver(qint16 i) {
  const size_t at = static_cast<size_t>(i);
  if (takes_[at] == Take::Leave) return true;
  if (takes_[at] == Take::TooLarge) {
    agent_.Log(kLogAlert + QStringLiteral("Message Too Large, Left On Server: ") + QString::number(i) +
               QStringLiteral(" - ") + QString::number(sizes_[at]) + QStringLiteral(" bytes"));
    return true;
  }
  agent_.Log(kLogInfo + QStringLiteral("Deleting Message Already Processed: ") + QString::fromLatin1(ids_[at]));
  if (IN_Pop3Mail->DelMail(i)) return true;
  agent_.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(i) + QStringLiteral(": ") +
             IN_Pop3Mail->GetLastError());
  return false;
}

bool InternetMailHost::PlaceMessage(qint16 i, const QString& dir, QList<StagedFile>& staged) {
  const QByteArray id = ids_.empty() ? QByteArray() : ids_[static_cast<size_t>(i)];
  // With an id, the message counts as taken once the id is recorded: its files are on disk by
  // then, and the journal names them until they are in place.
  const qint64 now = vrl::Now().toSecsSinceEpoch();
  if (!id.isEmpty() && !(FlushToDisk(dir) && journal_.Record(profile_.Prfname, id, now, staged))) {
    ReportJournal();
    RemoveStaged(staged);
    return false;
  }
  QString error;
  if (!agent::PlaceStagedFiles(staged, &error)) {
    agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
    if (id.isEmpty()) RemoveStaged(staged);  // else the next run puts them in place
    return false;
  }
  if (!id.isEmpty()) journal_.Placed(profile_.Prfname);
  return true;
}

bool InternetMailHost::ExecGetMail() {
  const ProfileRecord& p = profile_;
  const QString& dir = p.InboundDir;
  if (!FinishPlacing()) return false;
  agent::RemoveLeftoverTemporaries(dir);
  if (!IN_Pop3Mail) return true;
  const qint16 n = IN_Pop3Mail->GetNMailsOnPop3Server(false);
  if (n < 1) return true;
  if (!PlanInbound(n)) return false;
  if (std::all_of(takes_.begin() + 1, takes_.end(), [](Take t) { return t == Take::Leave; })) return true;
  agent_.WriteSessionLines();

  const FileFunctions ff;
  for (qint16 i = n; i >= 1; --i) {
    if (agent_.StopIfRequested()) return true;
    if (takes_[static_cast<size_t>(i)] != Take::Fetch) {
      if (!PassOver(i)) return false;
      continue;
    }
    agent_.DoEvents();
    Pop3Mail mail;
    std::vector<Pop3MailAttachments> atts;
    bool got = false;
    QString why;
    try {
      got = IN_Pop3Mail->GetMail(i, mail, atts);
      why = IN_Pop3Mail->GetLastError();
    } catch (const vrl::VrlError& e) {
      why = e.Description();
    }
    if (!got) {
      agent_.LogAndShow(kLogError, QStringLiteral("Error Retriving Message ") + QString::number(i) +
                                       QStringLiteral(": ") + why);
      return false;
    }
    agent_.DoEvents();

    agent::ReceivedMessage rec;
    rec.from = mail.from.isEmpty() ? QStringLiteral("???") : mail.from;
    rec.subject = mail.Subject;
    rec.message = mail.Message;
    agent_.Log(kLogInfo + QStringLiteral("Processing New Message From: ") + rec.from);
    foldersWritten_.insert(dir);

    // Every file of the message is written under a hidden name first and all are put in place
    // together.
    QList<StagedFile> staged;
    const int count = std::min<int>(mail.AttachedFiles, static_cast<int>(atts.size()));
    for (int k = 0; k < count; ++k) {
      const Pop3MailAttachments& a = atts[static_cast<size_t>(k)];
      QString ext = p.FileExtention;
      const QString name = OneFileName(
          ff.ModifiFileExtention(a.Name.isEmpty() ? QStringLiteral("NO_NAME") : a.Name, ext));
      if (p.CreateAttchsInMsgs) {
        const QString path =
            agent::MakeUniqueFileName(dir + QLatin1Char('/') + name, agent::StagedTargets(staged));
        agent_.Log(kLogInfo + QStringLiteral("Creating File: ") + path);
        QString error;
        const QString temp = SaveAttachment(a, dir, &error);
        if (temp.isEmpty()) {
          agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + path +
                                           QStringLiteral(" - ") + error);
          RemoveStaged(staged);
          return false;
        }
        staged.append({temp, path, false});
        rec.attachments << path;
      } else {
        rec.attachments << name;
      }
      agent_.DoEvents();
    }
    atts.clear();  // the message's bytes are no longer needed

    if (p.CreateInfFileInboundMsgs) {
      agent_.DoEvents();
      QString error;
      if (!agent::StageInboundInfoFile(dir, rec, p.ResFilesExtention, &staged, &error)) {
        agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
        RemoveStaged(staged);
        return false;
      }
      agent_.DoEvents();
    }
    if (!PlaceMessage(i, dir, staged)) return false;

    agent_.Count(HealthCount::Received);  // its files are written

    // A message kept on the server is deleted by a later cycle, when its days are over.
    if (!keepOnServer_ && !IN_Pop3Mail->DelMail(i)) {
      agent_.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(i) +
                 QStringLiteral(": ") + IN_Pop3Mail->GetLastError());
      return false;
    }
    agent_.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
  }
  return true;
}
