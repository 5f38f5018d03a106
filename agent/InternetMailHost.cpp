#include "InternetMailHost.h"

#include <QFile>

#include "FileFunctions.h"
#include "InfoFiles.h"
#include "PasswordCommand.h"
#include "ProfileSecurity.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SMTP_OutMail.h"
#include "socket/Test_Com.h"
#include "VrlError.h"

using agent::ErrnoText;
using agent::OneFileName;

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
  const ProfileSecurity sec = conf::ReadProfileSecurity(profile_);
  vrlsec::Settings s;
  s.security = static_cast<vrlsec::Security>((smtp ? sec.SmtpSecurity : sec.Pop3Security) & 3);
  s.verifyCertificate = sec.VerifyCertificate;
  s.caFile = sec.CaFile;
  s.certFingerprint = sec.CertFingerprint;
  s.auth = static_cast<vrlsec::AuthMethod>(sec.AuthMethod & 3);
  return s;
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
    agent_.Log(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
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
    agent_.Log(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
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
    for (const QString& dir : std::as_const(foldersWritten_)) {
      if (vrl::FlushFileSystemOf(dir)) continue;
      flushed = false;
      agent_.Log(kLogError + QStringLiteral("Cannot Flush The Folder: ") + dir +
                 QStringLiteral(" - ") + ErrnoText(errno));
    }
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

QString InternetMailHost::SaveAttachment(const Pop3MailAttachments& a, const QString& wanted,
                                         QString* error) {
  const QString dir = FileFunctions().GetPathOfFile(wanted).chopped(1);
  const QString temp = agent::TemporaryNameIn(dir);
  bool saved = false;
  try {
    // Everything written in the session is flushed at once, before QUIT.
    saved = IN_Pop3Mail->SaveAttachmentDataToFile(a.Data, temp, false);
    if (!saved) *error = IN_Pop3Mail->GetLastError();
  } catch (const vrl::VrlError& e) {
    *error = e.Description();
  }
  if (!saved) return {};
  const QString placed = agent::RenameToFreeName(temp, wanted);
  if (placed.isEmpty()) {
    *error = ErrnoText(errno);
    QFile::remove(temp);
  }
  return placed;
}

bool InternetMailHost::ExecGetMail() {
  const ProfileRecord& p = profile_;
  const QString& dir = p.InboundDir;
  agent::RemoveLeftoverTemporaries(dir);
  if (!IN_Pop3Mail) return true;
  const qint16 n = IN_Pop3Mail->GetNMailsOnPop3Server(false);
  if (n < 1) return true;
  agent_.WriteSessionLines();

  const FileFunctions ff;
  for (qint16 i = n; i >= 1; --i) {
    if (agent_.StopIfRequested()) return true;
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

    const int count = std::min<int>(mail.AttachedFiles, static_cast<int>(atts.size()));
    for (int k = 0; k < count; ++k) {
      const Pop3MailAttachments& a = atts[static_cast<size_t>(k)];
      QString ext = p.FileExtention;
      const QString name = OneFileName(
          ff.ModifiFileExtention(a.Name.isEmpty() ? QStringLiteral("NO_NAME") : a.Name, ext));
      if (p.CreateAttchsInMsgs) {
        const QString path = agent::MakeUniqueFileName(dir + QLatin1Char('/') + name);
        agent_.Log(kLogInfo + QStringLiteral("Creating File: ") + path);
        QString error;
        const QString placed = SaveAttachment(a, path, &error);
        if (placed.isEmpty()) {
          agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + path +
                                           QStringLiteral(" - ") + error);
          return false;
        }
        rec.attachments << placed;
      } else {
        rec.attachments << name;
      }
      agent_.DoEvents();
    }
    atts.clear();  // the message's bytes are no longer needed

    if (p.CreateInfFileInboundMsgs) {
      agent_.DoEvents();
      QString error;
      if (!agent::WriteInboundInfoFile(dir, rec, p.ResFilesExtention, &error)) {
        agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
        return false;
      }
      agent_.DoEvents();
    }

    agent_.Count(HealthCount::Received);  // its files are written

    if (!IN_Pop3Mail->DelMail(i)) {
      agent_.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(i) +
                 QStringLiteral(": ") + IN_Pop3Mail->GetLastError());
      return false;
    }
    agent_.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
  }
  return true;
}
