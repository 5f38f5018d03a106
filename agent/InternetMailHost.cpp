#include "InternetMailHost.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include "Clock.h"
#include "FileFunctions.h"
#include "FileIo.h"
#include "InfoFiles.h"
#include "OAuthAccess.h"
#include "PasswordCommand.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"
#include "imap/IMAP_InMail.h"
#include "mime/Pop3MimeParser.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SMTP_OutMail.h"
#include "socket/Test_Com.h"
#include "VrlError.h"

using agent::ErrnoText;

InternetMailHost::InternetMailHost(AgentContext& agent, const ProfileRecord& profile)
    : agent_(agent), profile_(profile) {
  journal_.UseFleet(agent.FleetMember());
}

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

bool InternetMailHost::TakeAccessToken(bool renew) {
  const agent::OAuthAccess a = agent::TakeAccessToken(profile_, renew);
  agent_.OAuthState(agent::OAuthStateName(a.state), a.state == agent::OAuthAccess::State::Ready, a.renewed);
  if (a.state == agent::OAuthAccess::State::Ready) {
    password_ = a.token;
    return true;
  }
  // Nothing of the profile runs without a token: its files stay for a later cycle.
  agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" ") + a.error);
  blocked_ = true;
  return false;
}

bool InternetMailHost::SecondAttempt(const mailerr::Error& failure, const QString& kind) {
  if (oauth_ && failure.kind == mailerr::Kind::Login && !tokenRenewed_) {
    // The access token may have been revoked or have expired early: one new one, once a session.
    tokenRenewed_ = true;
    return TakeAccessToken(true);
  }
  if (blocked_) return false;
  ForceHostConnetivity(kind, profile_.Pop3Server, profile_.SmtpServer, profile_.TimeOutSecs);
  return true;
}

void InternetMailHost::Open() {
  password_ = profile_.Pop3SmtpPws;
  const ProfileSecurity security = conf::ReadProfileSecurity(profile_);
  oauth_ = security.UsesOAuth();
  if (oauth_ && !TakeAccessToken(false)) return;
  // A password command runs once per session opening (a token may have been renewed).
  const QString command = oauth_ ? QString() : security.PasswordCommand;
  if (!command.trimmed().isEmpty()) {
    QString error;
    if (!vrl::RunPasswordCommand(command, &password_, &error)) {
      agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" ") + error);
      smtpMissing_ = error;
      return;
    }
  }
  inbound_ = conf::ReadProfileInbound(profile_);
  pop3InUse_ = !profile_.Pop3Server.trimmed().isEmpty();
  if (pop3InUse_) inbound_.UsesImap() ? ConnectImap() : ConnectPop3();
  if (blocked_) return;
  smtpInUse_ = !profile_.SmtpServer.trimmed().isEmpty();
  if (smtpInUse_) ConnectSmtp();
}

void InternetMailHost::LogClearTextLogin(const QString& protocol) {
  agent_.LogWithSession(kLogAlert + QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" ") + protocol +
                        QStringLiteral(" login in clear text: the password is not protected (security none)"));
}

void InternetMailHost::ConnectPop3() {
  const ProfileRecord& p = profile_;
  IN_Pop3Mail = std::make_unique<POP3_InMail>();
  WatchPop3Events();
  IN_Pop3Mail->SetSecurity(SecurityFor(false));
  // A message above MaxMessageMB is left by its LIST size; one whose size is not known is
  // bounded by it too.
  IN_Pop3Mail->SetMaxMessageBytes(qint64(agent_.MaxMessageMB()) * 1024 * 1024);
  QObject::connect(IN_Pop3Mail.get(), &POP3_InMail::SecureConnection, [this](const QString& how) {
    agent_.LogWithSession(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
                          QStringLiteral("\" POP3 connection under ") + how);
  });
  quint16 port = p.Pop3TcpPort;
  auto attempt = [&](qint16 timeout) {
    IN_Pop3Mail->SetTimeOutNSeconds(timeout);
    port = p.Pop3TcpPort;
    return IN_Pop3Mail->ConnectToPop3Server(p.UserName, password_, p.Pop3Server, port);
  };
  // The port the client took (0 becomes the default) makes the mailbox's key.
  const auto connected = [&] {
    mailbox_ = agent::IdJournal::Pop3Mailbox(p.UserName, p.Pop3Server, port);
    if (SecurityFor(false).security == vrlsec::Security::None) LogClearTextLogin(QStringLiteral("POP3"));
  };
  if (attempt(10)) return connected();
  if (!SecondAttempt(IN_Pop3Mail->LastFailure(), QStringLiteral("POP3"))) return IN_Pop3Mail.reset();
  if (attempt(p.TimeOutSecs)) return connected();
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
  // A profile from before the security settings keeps its dialogue, one command at a time.
  s.SetPipelining(conf::ExtensionEntry(p, conf::kSecurityTag).has_value());
  QObject::connect(&s, &SMTP_OutMail::SecureConnection, [this](const QString& how) {
    agent_.LogWithSession(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
                          QStringLiteral("\" SMTP connection under ") + how);
  });
  s.SetPOP3Port(p.Pop3TcpPort);
  s.SetPOP3Host(p.Pop3Server);
  const auto connected = [&] {
    const bool login = p.SmtpRequiresLogin || p.Pop3LoginBeforeSndMail;
    if (login && SecurityFor(true).security == vrlsec::Security::None) LogClearTextLogin(QStringLiteral("SMTP"));
  };
  s.SetTimeOutNSeconds(10);
  if (s.Connect()) return connected();
  if (!SecondAttempt(s.LastFailure(), QStringLiteral("SMTP"))) return OUT_SmtpMail.reset();
  s.SetPassword(password_);
  s.SetTimeOutNSeconds(static_cast<int>(p.TimeOutSecs));
  if (s.Connect()) return connected();
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
    const bool flushed = !wroteInbound_ || agent::FlushInboundFolder(agent_, profile_.InboundDir);
    wroteInbound_ = false;
    // Once the server has answered QUIT the deletions are done: their ids protect nothing now,
    // and a server that gives a new message an id used before is read right.
    if (flushed && IN_Pop3Mail->DisConnectFromPop3Server() && IN_Pop3Mail->QuitConfirmed()) {
      if (const qint16 refused = IN_Pop3Mail->RefusedDeletion()) {
        // Which of the deletions sent ahead were refused is not known: every id stays, and a
        // later cycle deletes whatever is still there.
        agent_.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(refused) +
                   QStringLiteral(": Error deleting message from POP3 server!"));
      } else if (!deletedIds_.isEmpty()) {
        journal_.Forget(mailbox_, deletedIds_);
        for (const QString& e : journal_.TakeErrors()) agent_.Log(kLogError + e);
      }
    }
    deletedIds_.clear();
    IN_Pop3Mail.reset();
  }
  if (IN_ImapMail) {
    // Deletions took effect when they were made, each after a flush: LOGOUT only ends.
    wroteInbound_ = false;
    IN_ImapMail->Logout(false);
    IN_ImapMail.reset();
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
  s.SetAnotherFollows(anotherFollows_);
  if (s.send()) {
    agent_.Log(kLogInfo + QStringLiteral("Message Successfully Sent"));
    return true;
  }
  agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + agent_.CurrentProfileName() +
                                   QStringLiteral("\" Error sending message: ") + s.GetLastError());
  if (s.LastFailureTransient()) transientFailure_ = s.GetLastError();
  return false;
}

bool InternetMailHost::PlanInbound(qint16 n, agent::InboundDelivery& delivery) {
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
  } else if (IN_Pop3Mail->LastFailure().kind != mailerr::Kind::RefusedPermanently) {
    // A server that refuses UIDL has no ids; any other failure means the session broke.
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
    journal_.KeepOnly(mailbox_, ids_);
    delivery.ReportJournal();
  }
  const qint64 now = vrl::Now().toSecsSinceEpoch();
  for (size_t i = 1; i < takes_.size(); ++i) {
    const qint64 fetched = ids_.empty() ? -1 : journal_.FetchedAt(mailbox_, ids_[i]);
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
  if (IN_Pop3Mail->DelMail(i)) {
    deletedIds_ << ids_[at];
    return true;
  }
  agent_.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(i) + QStringLiteral(": ") +
             IN_Pop3Mail->GetLastError());
  return false;
}

bool InternetMailHost::TakeMessage(qint16 i, agent::InboundDelivery& delivery, agent::HeldLines& lines) {
  const size_t held = lines.NextMessage();
  AgentContext& log = lines;
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
    log.LogAndShow(kLogError, QStringLiteral("Error Retriving Message ") + QString::number(i) + QStringLiteral(": ") + why);
    return false;
  }
  agent_.DoEvents();
  const QByteArray id = ids_.empty() ? QByteArray() : ids_[static_cast<size_t>(i)];
  const auto save = [this](const Pop3AttachmentData& data, const QString& temp, QString* error) {
    // Flushed with the rest of the message, or of the session before QUIT.
    if (IN_Pop3Mail->SaveAttachmentDataToFile(data, temp, false)) return true;
    *error = IN_Pop3Mail->GetLastError();
    return false;
  };
  if (StageMessage(QString::number(i), id, mail, atts, delivery, log, save)) taken_.push_back({i, held});
  return true;
}

bool InternetMailHost::StageMessage(const QString& what, const QByteArray& id, const Pop3Mail& mail,
                                    const std::vector<Pop3MailAttachments>& atts, agent::InboundDelivery& delivery,
                                    AgentContext& log, const SaveAttachment& save) {
  agent::ReceivedMessage rec;
  rec.from = mail.from.isEmpty() ? QStringLiteral("???") : mail.from;
  rec.subject = mail.Subject;
  rec.message = mail.Message;
  log.Log(kLogInfo + QStringLiteral("Processing New Message From: ") + rec.from);
  const size_t count = std::min<size_t>(std::max<qint32>(mail.AttachedFiles, 0), atts.size());
  if (!delivery.Allowed(qsizetype(count), what)) return false;

  QList<agent::InboundAttachment> files;
  for (size_t k = 0; k < count; ++k) {
    const Pop3MailAttachments& a = atts[k];
    files.append({a.Name, true, [&save, &a](const QString& temp, QString* error) {
                    try {
                      return save(a.Data, temp, error);
                    } catch (const vrl::VrlError& e) {
                      *error = e.Description();
                    }
                    return false;
                  }});
  }
  wroteInbound_ = true;
  // One that cannot be staged stays on the server for the next cycle.
  return delivery.Stage(id, rec, files);
}

bool InternetMailHost::CommitTaken(agent::InboundDelivery& delivery, agent::HeldLines& lines) {
  const std::vector<Taken> taken = std::exchange(taken_, {});
  const std::vector<bool> placed = delivery.Commit([&](qsizetype k) { lines.Into(taken[size_t(k)].lines); });
  bool deleting = !keepOnServer_;  // a message kept on the server is deleted by a later cycle
  bool goOn = true;
  for (size_t k = 0; k < taken.size(); ++k) {
    if (!placed[k]) continue;  // it stays on the server for the next cycle
    lines.Into(taken[k].lines);
    agent_.Count(HealthCount::Received);  // its files are written
    const qint16 i = taken[k].index;
    if (!goOn) continue;  // recorded: a later cycle deletes it
    if (deleting) {
      if (!IN_Pop3Mail->DelMail(i)) {
        lines.Log(kLogError + QStringLiteral("Error Deleting Message ") + QString::number(i) + QStringLiteral(": ") +
                  IN_Pop3Mail->GetLastError());
        goOn = false;
        continue;
      }
      if (!ids_.empty()) deletedIds_ << ids_[static_cast<size_t>(i)];
    }
    lines.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
  }
  lines.Release();
  return goOn;
}

bool InternetMailHost::ExecGetMail() {
  if (IN_ImapMail) return ExecGetMailImap();
  if (!IN_Pop3Mail) return true;
  agent::HeldLines lines(agent_);
  agent::InboundDelivery delivery(lines, profile_, journal_, mailbox_);
  if (!delivery.Resume()) return false;
  // With PIPELINING, STAT, UIDL and LIST go in one write (a profile from before the security
  // settings keeps its dialogue).
  const bool today = conf::ExtensionEntry(profile_, conf::kSecurityTag).has_value();
  if (today) IN_Pop3Mail->AskMailbox();
  const qint16 n = IN_Pop3Mail->GetNMailsOnPop3Server(false);
  if (n < 1) {
    if (!IN_Pop3Mail->CountFailed()) return true;
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Error Counting Messages: ") + IN_Pop3Mail->GetLastError());
    return false;
  }
  if (!PlanInbound(n, delivery)) return false;
  if (std::all_of(takes_.begin() + 1, takes_.end(), [](Take t) { return t == Take::Leave; })) return true;
  agent_.WriteSessionLines();

  // When the server offers PIPELINING, the messages to fetch are read ahead, put in place many
  // at a time (one flush and one journal write for them), and their deletions go without
  // waiting. A profile from before the security settings keeps its dialogue, one command at a
  // time.
  std::vector<qint16> order;
  for (qint16 i = n; i >= 1; --i)
    if (takes_[static_cast<size_t>(i)] == Take::Fetch) order.push_back(i);
  const bool ahead = order.size() > 1 && today && IN_Pop3Mail->RetrieveInOrder(std::move(order));
  const qsizetype together = ahead ? kCommitTogether : 1;

  taken_.clear();
  for (qint16 i = n; i >= 1; --i) {
    // What was read is kept before a stop closes the session.
    if (agent_.StopRequested() && !CommitTaken(delivery, lines)) return false;
    if (agent_.StopIfRequested()) return true;
    bool goOn = true;
    if (takes_[static_cast<size_t>(i)] == Take::Fetch) {
      goOn = TakeMessage(i, delivery, lines);
      if (goOn && delivery.StagedCount() >= together) goOn = CommitTaken(delivery, lines);
    } else {
      goOn = CommitTaken(delivery, lines) && PassOver(i);
    }
    if (!goOn) {
      CommitTaken(delivery, lines);
      return false;
    }
  }
  return CommitTaken(delivery, lines);
}

void InternetMailHost::ConnectImap() {
  const ProfileRecord& p = profile_;
  IN_ImapMail = std::make_unique<IMAP_InMail>();
  IMAP_InMail& imap = *IN_ImapMail;
  imap.SetSecurity(SecurityFor(false));
  imap.SetMaxMessageBytes(qint64(agent_.MaxMessageMB()) * 1024 * 1024);
  imap.SelectAfterLogin(inbound_.ImapFolder);
  QObject::connect(&imap, &IMAP_InMail::SecureConnection, [this](const QString& how) {
    agent_.LogWithSession(kLogInfo + QStringLiteral("Profile: \"") + profile_.Prfname +
                          QStringLiteral("\" IMAP connection under ") + how);
  });
  quint16 port = p.Pop3TcpPort;
  auto attempt = [&](qint16 timeout) {
    imap.SetTimeOutNSeconds(timeout);
    port = p.Pop3TcpPort;
    return imap.Connect(p.UserName, password_, p.Pop3Server, port);
  };
  bool ok = attempt(10);
  if (!ok && !SecondAttempt(imap.LastFailure(), QStringLiteral("POP3"))) return IN_ImapMail.reset();
  if (ok || attempt(p.TimeOutSecs)) {
    if (SecurityFor(false).security == vrlsec::Security::None) LogClearTextLogin(QStringLiteral("IMAP"));
    if (imap.Select(inbound_.ImapFolder, true)) {
      mailbox_ = agent::IdJournal::ImapMailbox(p.UserName, p.Pop3Server, port, inbound_.ImapFolder, imap.UidValidity());
      return;
    }
    agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + p.Prfname + QStringLiteral("\" Error Opening IMAP Folder ") +
                                     inbound_.ImapFolder + QStringLiteral(": ") + imap.GetLastError());
  } else {
    agent_.LogAndShow(kLogError, QStringLiteral("Profile: \"") + p.Prfname +
                                     QStringLiteral("\" Error connecting to IMAP Server: ") + imap.GetLastError());
  }
  IN_ImapMail->Logout();
  IN_ImapMail.reset();
}

bool InternetMailHost::ImapAfter(const std::vector<quint32>& uids) {
  if (uids.empty()) return true;
  IMAP_InMail& imap = *IN_ImapMail;
  const bool move = inbound_.ImapAfter == QLatin1String("move");
  if (!(move ? imap.Move(uids, inbound_.ImapMoveTo) : imap.Delete(uids))) {
    // The ids stay: a later cycle deletes or moves them without fetching them again.
    agent_.Log(kLogError + (move ? QStringLiteral("Error Moving Messages To ") + inbound_.ImapMoveTo
                                 : QStringLiteral("Error Deleting Messages")) +
               QStringLiteral(": ") + imap.GetLastError());
    return false;
  }
  QList<QByteArray> ids;
  for (quint32 uid : uids) ids << QByteArray::number(uid);
  journal_.Forget(mailbox_, ids);
  for (const QString& e : journal_.TakeErrors()) agent_.Log(kLogError + e);
  return true;
}

bool InternetMailHost::ExecGetMailImap() {
  IMAP_InMail& imap = *IN_ImapMail;
  agent::HeldLines lines(agent_);
  agent::InboundDelivery delivery(lines, profile_, journal_, mailbox_);
  // Ids of the folder under another UIDVALIDITY name nothing now.
  for (const QString& old : journal_.OtherImapMailboxes(mailbox_)) {
    agent::InboundDelivery(lines, profile_, journal_, old).Resume();
    journal_.KeepOnly(old, {});
    agent_.WriteSessionLines();
    agent_.Log(kLogAlert + QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" IMAP folder ") +
               inbound_.ImapFolder + QStringLiteral(" has a new UIDVALIDITY: its messages are taken as new"));
  }
  if (!delivery.Resume()) return false;
  std::vector<quint32> uids;
  if (!imap.SearchUids(uids)) {
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Error Counting Messages: ") + imap.GetLastError());
    return false;
  }
  std::vector<QByteArray> ids;
  for (quint32 uid : uids) ids.push_back(QByteArray::number(uid));
  journal_.KeepOnly(mailbox_, ids);
  delivery.ReportJournal();
  if (uids.empty()) return true;

  const ProfileUnattended u = conf::ReadProfileUnattended(profile_);
  const bool keep = inbound_.ImapAfter == QLatin1String("keep");
  const qint64 limit = qint64(agent_.MaxMessageMB()) * 1024 * 1024;
  std::vector<qint64> sizes;
  if (limit > 0 && !imap.FetchSizes(uids, sizes)) {
    agent_.WriteSessionLines();
    agent_.LogAndShow(kLogError, QStringLiteral("Error Retriving Message Sizes: ") + imap.GetLastError());
    return false;
  }
  const qint64 now = vrl::Now().toSecsSinceEpoch();
  std::vector<quint32> fetch, done;
  QStringList tooLarge;
  for (size_t i = 0; i < uids.size(); ++i) {
    const qint64 fetched = journal_.FetchedAt(mailbox_, ids[i]);
    if (fetched >= 0) {
      const bool kept = keep || (u.KeepOnServer && (u.KeepDays == 0 || now - fetched < qint64(u.KeepDays) * 86400));
      if (!kept) done.push_back(uids[i]);
    } else if (limit > 0 && i < sizes.size() && sizes[i] > limit) {
      tooLarge << kLogAlert + QStringLiteral("Message Too Large, Left On Server: ") + QString::number(uids[i]) +
                      QStringLiteral(" - ") + QString::number(sizes[i]) + QStringLiteral(" bytes");
    } else {
      fetch.push_back(uids[i]);
    }
  }
  if (fetch.empty() && done.empty() && tooLarge.isEmpty()) return true;
  agent_.WriteSessionLines();
  for (const QString& line : tooLarge) agent_.Log(line);
  for (quint32 uid : done) agent_.Log(kLogInfo + QStringLiteral("Deleting Message Already Processed: ") + QString::number(uid));
  if (!ImapAfter(done)) return false;

  // Messages are put in place many at a time (one flush and one journal write for them); their
  // deletions or moves go once their files are on disk.
  const bool after = !keep && !u.KeepOnServer;
  std::vector<quint32> processed;
  std::vector<std::pair<quint32, size_t>> taken;  // staged: uid, where its lines are held
  const auto commit = [&] {
    const auto staged = std::exchange(taken, {});
    const std::vector<bool> placed = delivery.Commit([&](qsizetype k) { lines.Into(staged[size_t(k)].second); });
    for (size_t k = 0; k < staged.size(); ++k) {
      if (!placed[k]) continue;  // it stays on the server for the next cycle
      lines.Into(staged[k].second);
      agent_.Count(HealthCount::Received);
      lines.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
      processed.push_back(staged[k].first);
    }
    lines.Release();
  };
  bool stopped = false;
  const bool fetchedAll = imap.FetchMessages(fetch, [&](quint32 uid, const QByteArray& message) {
    if (agent_.StopRequested()) return !(stopped = true);
    const size_t held = lines.NextMessage();
    Pop3Mail mail;
    std::vector<Pop3MailAttachments> atts;
    pop3mime::ParseMessage(message, mail, atts);
    const auto save = [](const Pop3AttachmentData& data, const QString& temp, QString* error) {
      return IMAP_InMail::SaveAttachmentDataToFile(data, temp, error, false);
    };
    if (StageMessage(QString::number(uid), QByteArray::number(uid), mail, atts, delivery, lines, save))
      taken.emplace_back(uid, held);
    if (delivery.StagedCount() >= kCommitTogether) commit();
    return true;
  });
  commit();
  if (!fetchedAll) {
    agent_.LogAndShow(kLogError, QStringLiteral("Error Retriving Messages: ") + imap.GetLastError());
    return false;
  }
  // What leaves the server is on disk first.
  const bool ok = !after || processed.empty() || (delivery.Flush() && ImapAfter(processed));
  if (stopped && agent_.StopIfRequested()) return true;
  return ok;
}
