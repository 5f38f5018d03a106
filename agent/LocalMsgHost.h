#pragma once
// The messaging session of a profile of host type 1: the local messaging system (a Maildir and
// the system's sendmail, mailengine/local). One logon per profile and cycle; a failed logon
// raises kErrLogonFailed, which leaves the profile out for the rest of the run.
#include <QString>
#include <memory>

#include "IdJournal.h"
#include "MailHost.h"

namespace localmsg {
class Session;
}

class LocalMsgHost : public MailHost {
 public:
  LocalMsgHost(AgentContext& agent, const ProfileRecord& profile);
  ~LocalMsgHost() override;

  void Open() override;
  void Close() override;
  bool ExecSendMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject,
                    QString& MsgText) override {
    return ExecSendCDOMail(DestAdreess, FileToSend, MsgSubject, MsgText);
  }
  QString TransientFailure() const override { return transientFailure_; }
  bool ExecGetMail() override;

  // One outbound message through the Outbox. True when it went.
  bool ExecSendCDOMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject, QString& MsgText);
  // Every Inbox message into files of the profile's InboundDir, oldest first; each message
  // leaves the Maildir only once its files are on disk in their places. A message whose files
  // cannot be made stays for the next cycle and the next one goes on. False when it stopped at a
  // failure.
  bool ExecGetCDOMail(const QString& InboundDir, const QString& FileExtention, bool CreateInfFileInboundMsgs,
                      bool CreateAttchsInMsgs, const QString& ResFilesExtention);

 private:
  // A run-time error in the log's terms: "ERROR:\t -2147467259 <description>".
  void ReportError(qint32 number, const QString& description);

  AgentContext& agent_;
  const ProfileRecord profile_;
  std::unique_ptr<localmsg::Session> session_;
  QString transientFailure_;  // of the last ExecSendCDOMail
  agent::IdJournal journal_;
};
