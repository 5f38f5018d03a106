#include "LocalMsgHost.h"

#include <QFile>
#include <cerrno>

#include "FileFunctions.h"
#include "FileIo.h"
#include "InfoFiles.h"
#include "Mdl_Crypto.h"
#include "local/LocalMsgSession.h"

LocalMsgHost::LocalMsgHost(AgentContext& agent, const ProfileRecord& profile)
    : agent_(agent), profile_(profile) {}

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
  agent::RemoveLeftoverTemporaries(InboundDir);
  const FileFunctions ff;
  QString path;  // the file being created, for the error text
  try {
    localmsg::Folder inbox = session_->Inbox();
    session_->DeliverNow();
    localmsg::MessageList messages = inbox.Messages();
    const long count = messages.Count();
    if (count <= 0) return true;
    agent_.WriteSessionLines();

    for (long n = 0; n < count; ++n) {
      agent::ReceivedMessage rec;
      if (agent_.StopIfRequested()) return true;
      agent_.DoEvents();
      const std::shared_ptr<localmsg::Message> message = messages.GetFirst();
      if (!message) return true;  // another reader took the rest

      const std::optional<localmsg::AddressEntry> sender = message->Sender();
      rec.from = sender ? sender->Name + QStringLiteral(" - ") + sender->Address : QStringLiteral("???");
      rec.subject = message->Subject();
      rec.message = message->Text();
      agent_.Log(kLogInfo + QStringLiteral("Processing New Message From: ") + rec.from);

      bool wrote = false;
      localmsg::AttachmentList attachments = message->Attachments();
      for (long j = 1; j <= attachments.Count(); ++j) {
        const localmsg::Attachment a = attachments.Item(j);
        if (a.Type() != localmsg::kFileData) {
          agent_.LogAndShow(kLogError, QStringLiteral("The Message Contains an Attachment Type Not Supported"));
          rec.attachments << agent::kUnsupportedAttachment;
          continue;
        }
        QString name = a.Fields(localmsg::kAttachLongFilename);
        if (name.isEmpty()) name = QStringLiteral("NO_NAME");
        QString ext = FileExtention;
        name = agent::OneFileName(ff.ModifiFileExtention(name, ext));
        if (!CreateAttchsInMsgs) {
          rec.attachments << name;
          continue;
        }
        path = agent::MakeUniqueFileName(InboundDir + QLatin1Char('/') + name);
        agent_.Log(kLogInfo + QStringLiteral("Creating File: ") + path);
        // Under a hidden name first, so that a program watching the folder never sees half a file.
        const QString temp = agent::TemporaryNameIn(InboundDir);
        wrote = true;
        a.WriteToFile(temp, false);
        const QString placed = agent::RenameToFreeName(temp, path);
        if (placed.isEmpty()) {
          QFile::remove(temp);
          throw vrl::VrlError(localmsg::kErrCallFailed, agent::ErrnoText(errno), QString());
        }
        rec.attachments << placed;
        agent_.DoEvents();
      }
      path.clear();

      if (CreateInfFileInboundMsgs) {
        agent_.DoEvents();
        QString error;
        wrote = true;
        if (!agent::WriteInboundInfoFile(InboundDir, rec, ResFilesExtention, &error)) {
          agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + error);
          return false;
        }
        agent_.DoEvents();
      }
      // The message leaves the Maildir only once its files are on disk.
      if (wrote && !vrl::FlushFileSystemOf(InboundDir)) {
        agent_.Log(kLogError + QStringLiteral("Cannot Flush The Folder: ") + InboundDir + QStringLiteral(" - ") +
                   agent::ErrnoText(errno));
        return false;
      }
      agent_.Count(HealthCount::Received);  // its files are written
      try {
        message->Delete();
      } catch (const vrl::VrlError& e) {
        if (e.Number() != localmsg::kErrNotFound) throw;  // gone already: nothing left to remove
      }
      agent_.Log(kLogInfo + QStringLiteral("Message Successfully Processed"));
    }
    return true;
  } catch (const vrl::VrlError& e) {
    if (e.Number() == localmsg::kErrPathNotFound)
      agent_.LogAndShow(kLogError, QStringLiteral("Inbound Directory Not Found: ") + InboundDir);
    else if (e.Number() == localmsg::kErrCallFailed && !path.isEmpty())
      agent_.LogAndShow(kLogError, QStringLiteral("Cannot Create The File: ") + path);
    else
      ReportError(e.Number(), e.Description());
    return false;
  }
}
