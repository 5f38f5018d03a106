#pragma once
// The internet-mail session of a profile: a POP3 client and an SMTP client of the mail engine,
// each connected with a 10-second first attempt and, after a reachability test of the host, a
// second attempt with the profile's own time-out.
#include <QString>
#include <functional>
#include <memory>

#include "HeldLines.h"
#include "IdJournal.h"
#include "InboundDelivery.h"
#include "MailHost.h"
#include "ProfileInbound.h"
#include "mime/Pop3Mail.h"
#include "socket/MailError.h"
#include "socket/SecuritySettings.h"

class IMAP_InMail;
class POP3_InMail;
class SMTP_OutMail;

class InternetMailHost : public MailHost {
 public:
  InternetMailHost(AgentContext& agent, const ProfileRecord& profile);
  ~InternetMailHost() override;

  void Open() override;
  // False when the session must not run: an OAuth profile without a usable access token.
  bool Usable() const override { return !blocked_; }
  void Close() override;
  bool ExecSendMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject,
                    QString& MsgText) override;
  QString TransientFailure() const override { return transientFailure_; }
  void SetAnotherFollows(bool follows) override { anotherFollows_ = follows; }
  bool ExecGetMail() override;

  // Wakes the route to a host before the second connection attempt ("ALL", "POP3" or "SMTP");
  // the result of the test is not used.
  static void ForceHostConnetivity(QString HostType, QString Loc_Pop3Server, QString Loc_SmtpServer,
                                   qint16 Loc_TimeOutSecs);

  POP3_InMail* Pop3Client() const { return IN_Pop3Mail.get(); }
  SMTP_OutMail* SmtpClient() const { return OUT_SmtpMail.get(); }

 private:
  // The profile's transport security and authentication for one of the two clients.
  vrlsec::Settings SecurityFor(bool smtp) const;
  // A session that logs in without TLS (security none, chosen by the user) says so once.
  void LogClearTextLogin(const QString& protocol);
  // Takes the profile's OAuth access token as the password (renew: a new one); logs and blocks
  // the session when there is none.
  bool TakeAccessToken(bool renew);
  // After a failed connection attempt: whether the second attempt goes (with a renewed token when
  // an OAuth login was refused, else after a reachability test).
  bool SecondAttempt(const mailerr::Error& failure, const QString& kind);
  void ConnectPop3();
  // The IMAP inbound step (the profile's InboundProtocol "imap"): the folder selected at connect,
  // its messages fetched many per command, staged and put in place as POP3's are, then deleted or
  // moved (or left, "keep"), once their files are flushed.
  void ConnectImap();
  bool ExecGetMailImap();
  // Deletes or moves processed messages as the profile says; their ids then protect nothing.
  bool ImapAfter(const std::vector<quint32>& uids);
  void ConnectSmtp();
  void WatchPop3Events();
  void WatchSmtpEvents();
  void DebugLine(const QString& line, const QString& box, vrl::MsgBoxIcon icon);
  // What the inbound step does with message i, from the server's ids and sizes and the journal.
  enum class Take { Fetch, Delete, Leave, TooLarge };
  // Decides for messages 1..n (into takes_, ids_, sizes_); false when the step cannot go on.
  bool PlanInbound(qint16 n, agent::InboundDelivery& delivery);
  // A message that is not fetched: deleted, or reported as too large. False when DELE failed.
  bool PassOver(qint16 i);
  // Retrieves message i and stages its files; its lines are held in `lines`. False when the step
  // cannot go on (the session broke); a message whose files could not be made stays on the
  // server and the step goes on.
  bool TakeMessage(qint16 i, agent::InboundDelivery& delivery, agent::HeldLines& lines);
  // A retrieved message's part of it: its files staged (true also when it stays on the server);
  // save writes an attachment into a new file.
  using SaveAttachment = std::function<bool(const Pop3AttachmentData&, const QString&, QString*)>;
  bool StageMessage(const QString& what, const QByteArray& id, const Pop3Mail& mail,
                    const std::vector<Pop3MailAttachments>& atts, agent::InboundDelivery& delivery,
                    AgentContext& log, const SaveAttachment& save);
  // Puts in place the messages staged so far and marks them for deletion; writes their lines.
  // False when a DELE failed.
  bool CommitTaken(agent::InboundDelivery& delivery, agent::HeldLines& lines);
  // Messages read ahead are put in place this many at a time.
  static constexpr qsizetype kCommitTogether = 64;

  AgentContext& agent_;
  const ProfileRecord profile_;
  QString password_;  // the profile's, or its password command's, for this session
  bool pop3InUse_ = false;
  bool smtpInUse_ = false;
  bool anotherFollows_ = false;
  bool oauth_ = false;          // the profile signs in with OAuth
  bool tokenRenewed_ = false;   // once per session, after a refused login
  bool blocked_ = false;
  std::unique_ptr<POP3_InMail> IN_Pop3Mail;
  std::unique_ptr<IMAP_InMail> IN_ImapMail;
  ProfileInbound inbound_;
  std::unique_ptr<SMTP_OutMail> OUT_SmtpMail;
  // Why the session has no SMTP client, when that may pass (no connection, no password yet).
  QString smtpMissing_;
  QString transientFailure_;  // of the last ExecSendMail
  // Files went into the inbound folder in this session: flushed before the server forgets.
  bool wroteInbound_ = false;
  agent::IdJournal journal_;
  QString mailbox_;                 // the journal's key for the POP3 mailbox, once connected
  QList<QByteArray> deletedIds_;    // messages marked for deletion in this session
  bool keepOnServer_ = false;
  std::vector<Take> takes_;        // per message, [0] unused
  std::vector<QByteArray> ids_;    // per message when the server gives ids, else empty
  std::vector<qint64> sizes_;      // per message when there is a size limit, else empty
  struct Taken {
    qint16 index;  // the message's number
    size_t lines;  // where its lines are held
  };
  std::vector<Taken> taken_;       // staged, in the order of the delivery's Commit
};
