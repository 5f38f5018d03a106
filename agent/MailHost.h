#pragma once
// A profile's mail session of one host type: internet mail through the mail engine (host type 2
// and any other value but 1), or the local messaging system (host type 1). The cycle reaches it
// through AgentMailWork, which opens one per profile and cycle; the outbound step hands it each
// message, the inbound step lets it fetch.
#include <QString>
#include <memory>

#include "AgentContext.h"
#include "ConfRecords.h"
#include "MailWork.h"
#include "RetryJournal.h"

class MailHost {
 public:
  virtual ~MailHost() = default;

  // Opens the session. A failed logon raises vrl::VrlError kErrLogonFailed; a connection that
  // fails is reported and leaves the session without that client.
  virtual void Open() = 0;
  // False when the opened session must not run at all (it said why): nothing of the profile runs.
  virtual bool Usable() const { return true; }
  // Closes the session (also when the agent stops in the middle of the host's own work).
  virtual void Close() = 0;
  // Sends one message: recipient list, the file to attach, subject, text (by reference; the text
  // gets its closing CR and space). True when it went.
  virtual bool ExecSendMail(QString& DestAdreess, QString& FileToSend, QString& MsgSubject,
                            QString& MsgText) = 0;
  // After a failed ExecSendMail: why, when the failure may pass by itself (the server could not
  // be reached, timed out, dropped the connection or answered 4xx); empty when sending again
  // would fail the same way.
  virtual QString TransientFailure() const { return {}; }
  // Another message follows the next ExecSendMail in this session.
  virtual void SetAnotherFollows(bool follows) { (void)follows; }
  // Takes every waiting message into the profile's inbound folder. True when all were processed
  // (or none waited, or a stop was requested); false when it stopped at a failure.
  virtual bool ExecGetMail() = 0;
};

// The session for the profile's host type: 1 the local messaging system, anything else internet
// mail.
std::unique_ptr<MailHost> MakeMailHost(AgentContext& agent, const ProfileRecord& profile);

// The agent's mail work: one MailHost per profile and cycle.
class AgentMailWork : public MailWork {
 public:
  void OpenSession(AgentContext& agent, const ProfileRecord& profile) override;
  void CloseSession(AgentContext& agent) override;
  void ProcessOutboundFile(AgentContext& agent, const ProfileRecord& profile, const QString& folder,
                           const QString& name) override;
  bool ExecGetMail(AgentContext& agent, const ProfileRecord& profile) override;
  void OutboundFileFollows(bool more) override {
    if (host_) host_->SetAnotherFollows(more);
  }

 private:
  std::unique_ptr<MailHost> host_;
  // A closed session lives until the next one opens: a stop requested from inside the host's own
  // work closes it while that work is still on the stack.
  std::unique_ptr<MailHost> closed_;
  agent::RetryJournal journal_;
};
