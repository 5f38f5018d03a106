#include "LocalMsgHost.h"

#include <QFile>
#include <cerrno>

#include "FileFunctions.h"
#include "FileIo.h"
#include "InboundDelivery.h"
#include "InfoFiles.h"
#include "Mdl_Crypto.h"
#include "local/LocalMsgSession.h"

LocalMsgHost::LocalMsgHost(AgentContext& agent, const ProfileRecord& profile)
    : agent_(agent), profile_(profile) {
  journal_.UseFleet(agent.FleetMember());
}

LocalMsgHost::~LocalMsgHost() = default;

void LocalMsgHost::ReportError(qint32 number, const QString& description) {
  const QString num = (number >= 0 ? QStringLiteral(" ") : QString()) + QString::number(number);
  agent_.Log(kLogError + num + QLatin1Char(' ') + description);
  agent_.Show(QStringLiteral("Error :") + num + QLatin1Char('\r') + description);
}

void LocalMsgHost::Open() {
  session_ = std::make_unique<localmsg::Session>();
  try {
    session_->Logon(profile_.WinMsgProfileName, Unscramble(profile_.WinMsgPws), false, true, 0);
  } catch (const vrl::VrlError& e) {
    // The cycle names the profile's Maildir; this line says what is wrong with it.
    if (e.Number() == localmsg::kErrLogonFailed)
      agent_.Log(kLogError + QStringLiteral("Profile: \"") + profile_.Prfname + QStringLiteral("\" ") + e.Description());
    session_.reset();
    throw;
  }
  if (!profile_.FromAddress.trimmed().isEmpty())
    session_->SetSender(profile_.FromName.trimmed(), profile_.FromAddress.trimmed());
}

void LocalMsgHost::Close() {
  if (!session_) return;
  session_->Logoff();
  session_.reset();
}

bool LocalMsgHost::ExecSendCDOMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject,
                                   QString& MsgText) {
  MsgText += QStringLiteral("\r ");
  transientFailure_.clear();
  const FileFunctions ff;
  if (!ff.FileExists(FileToSend)) {
    agent_.LogAndShow(kLogError, QStringLiteral("Attachment File Not Found: ") + FileToSend);
    return false;
  }
  try {
    if (!session_) throw vrl::VrlError(localmsg::kErrCallFailed, QStringLiteral("The session is not logged on"), QString());
    const QString name = ff.GetFileNameFromPath(FileToSend);
    const std::shared_ptr<localmsg::Message> message = session_->Outbox().Messages().Add();
    for (const QString& address : DestAdreess.split(u';')) {
      if (address.trimmed().isEmpty()) continue;  // "a@x;" names one recipient
      localmsg::Recipient r = message->Recipients().Add();
      r.SetName(address.trimmed());
      r.SetType(localmsg::kPrimaryRecipient);
      r.Resolve();
    }
    message->SetSubject(MsgSubject);
    message->SetText(MsgText);
    if (!FileToSend.isEmpty()) message->Attachments().Add(name, std::nullopt, std::nullopt, FileToSend);
    message->Update();
    message->Send(false);
  } catch (const vrl::VrlError& e) {
    if (e.Number() == localmsg::kErrNotFound) {
      agent_.LogAndShow(kLogError, QStringLiteral("Attachment File Not Found: ") + FileToSend);
    } else if (e.Number() == localmsg::kErrUnresolved) {
      agent_.LogAndShow(kLogError, QStringLiteral("Destination Address Not Found or Invalid: \"") + DestAdreess +
                                       QLatin1Char('"'));
    } else {
      ReportError(e.Number(), e.Description());
      if (session_ && session_->LastFailureTransient()) transientFailure_ = e.Description();
    }
    return false;
  }
  agent_.Log(kLogInfo + QStringLiteral("Message Successfully Sent"));
  return true;
}

bool LocalMsgHost::ExecGetMail() {
  const ProfileRecord& p = profile_;
  return ExecGetCDOMail(p.InboundDir, p.FileExtention, p.CreateInfFileInboundMsgs, p.CreateAttchsInMsgs,
                        p.ResFilesExtention);
}

bool LocalMsgHost::ExecGetCDOMail(const QString& InboundDir, const QString& FileExtention,
                                  bool CreateInfFileInboundMsgs, bool CreateAttchsInMsgs,
                                  const QString& ResFilesExtention) {
  if (!session_) return true;
  // The profile's folder, extensions and switches reach the files through the delivery.
  (void)InboundDir, (void)FileExtention, (void)CreateInfFileInboundMsgs, (void)CreateAttchsInMsgs,
      (void)ResFilesExtention;
  const QString mailbox = agent::IdJournal::MaildirMailbox(session_->MaildirFolder());
  agent::InboundDelivery delivery(agent_, profile_, journal_, mailbox);
  if (!delivery.Resume()) return false;
  // A message leaves the Maildir at once: its id protects nothing after that.
  const auto remove = [&](localmsg::Message& message, const QByteArray& id) {
    try {
      message.Delete();
    } catch (const vrl::VrlError& e) {
      if (e.Number() != localmsg::kErrNotFound) throw;  // gone already: nothing left to remove
    }
    journal_.Forget(mailbox, {id});
    delivery.ReportJournal();
  };
  try {
    localmsg::Folder inbox = session_->Inbox();
    session_->DeliverNow();
    localmsg::MessageList messages = inbox.Messages();
    const long count = messages.Count();
    if (count <= 0) return true;
    agent_.WriteSessionLines();

    for (long n = 0; n < count; ++n) {
      if (agent_.StopIfRequested()) return true;
      agent_.DoEvents();
      const std::shared_ptr<localmsg::Message> message = messages.GetFirst();
      if (!message) return true;  // another reader took the rest
      const QByteArray id = message->Id();
      if (journal_.FetchedAt(mailbox, id) >= 0) {
        agent_.Log(kLogInfo + QStringLiteral("Deleting Message Already Processed: ") + QString::fromLatin1(id));
        remove(*message, id);
        continue;
      }

      agent::ReceivedMessage rec;
      const std::optional<localmsg::AddressEntry> sender = message->Sender();
      rec.from = sender ? sender->Name + QStringLiteral(" - ") + sender->Address : QStringLiteral("???");
      rec.subject = message->Subject();
      rec.message = message->TextUtf8();
      agent_.Log(kLogInfo + QStringLiteral("Processing New Message From: ") + rec.from);

      localmsg::AttachmentList attachments = message->Attachments();
      if (!delivery.Allowed(attachments.Count(), QString::fromLatin1(id))) {
        message->Keep();
        continue;
      }
      QList<agent::InboundAttachment> files;
      for (long j = 1; j <= attachments.Count(); ++j) {
        const localmsg::Attachment a = attachments.Item(j);
        const bool data = a.Type() == localmsg::kFileData;
        files.append({data ? a.Fields(localmsg::kAttachLongFilename) : QString(), data,
                      [a](const QString& temp, QString* error) {
                        try {
                          a.WriteToFile(temp, false);  // flushed with the message's other files
                          return true;
                        } catch (const vrl::VrlError& e) {
                          *error = e.Description();
                          return false;
                        }
                      }});
      }
      if (!delivery.Deliver(id, rec, files)) {
        message->Keep();  // it stays for the next cycle; the next message goes on
        continue;
      }
      // The message leaves the Maildir only once its files are on disk in their places.
      if (!delivery.Flush()) return false;
      agent_.Count(HealthCount::Received);  // its files are written
      remove(*message, id);
      agent_.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
    }
    return true;
  } catch (const vrl::VrlError& e) {
    if (e.Number() == localmsg::kErrPathNotFound)
      agent_.LogAndShow(kLogError, QStringLiteral("Inbound Directory Not Found: ") + profile_.InboundDir);
    else
      ReportError(e.Number(), e.Description());
    return false;
  }
}
