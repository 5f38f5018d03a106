#pragma once
// The mail work that the processing cycle hands off: opening and closing a profile's session,
// handling one outbound file, and fetching the inbound messages. The base class does nothing and
// leaves every file where it is, so the cycle runs (and logs) without a mail engine; the agent
// program installs AgentMailWork (MailHost.h).
//
// Each call runs on the agent's thread inside the cycle. A call may raise vrl::VrlError:
// 0x80040111 (a logon failed) disables the profile for the rest of the run and the cycle goes on
// with the next profile; 0x80040605 is ignored (the cycle resumes after the call); any other error
// ends the cycle. A call may stop the agent itself (AgentContext::StopIfRequested); the cycle then
// ends as soon as the call returns.
#include <QString>

#include "AgentContext.h"
#include "ConfRecords.h"

// Run-time error numbers the cycle treats specially.
inline constexpr qint32 kErrLogonFailed = static_cast<qint32>(0x80040111u);
inline constexpr qint32 kErrResumeNext = static_cast<qint32>(0x80040605u);

class MailWork {
 public:
  virtual ~MailWork() = default;

  // Opens the session of the profile (the agent sets its session-open flag after this returns).
  virtual void OpenSession(AgentContext& agent, const ProfileRecord& profile) {
    (void)agent;
    (void)profile;
  }

  // Closes the open session: after the profile's work, and when the agent stops with a session
  // still open (possibly from inside ExecGetMail: the work object must outlive the call).
  virtual void CloseSession(AgentContext& agent) { (void)agent; }

  // Handles one entry of the outbound file list: folder + "/" + name is the file. The cycle has
  // already written the session lines and checked the stop request; this sends the file and
  // deletes or renames it.
  virtual void ProcessOutboundFile(AgentContext& agent, const ProfileRecord& profile,
                                   const QString& folder, const QString& name) {
    (void)agent;
    (void)profile;
    (void)folder;
    (void)name;
  }

  // Called before each ProcessOutboundFile: whether another file of the list follows this one
  // (a host may then start the next message before this one's outcome is read).
  virtual void OutboundFileFollows(bool more) { (void)more; }

  // Fetches the profile's inbound messages into its InboundDir. The result is not used by the
  // cycle. Before the first message an implementation calls WriteSessionLines(); before each
  // message StopIfRequested().
  virtual bool ExecGetMail(AgentContext& agent, const ProfileRecord& profile) {
    (void)agent;
    (void)profile;
    return true;
  }
};
