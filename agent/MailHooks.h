#pragma once
// The mail work that the processing cycle hands off: opening and closing a profile's session,
// handling one outbound file, and fetching the inbound messages. The defaults do nothing and
// leave every file where it is, so the cycle runs (and logs) without a mail engine.
//
// Each call runs on the agent's thread inside the cycle. A call may raise vrl::VrlError:
// 0x80040111 (a logon failed) disables the profile for the rest of the run and the cycle goes
// on with the next profile; 0x80040605 is ignored (the cycle resumes after the call); any other
// error ends the cycle. A call may stop the agent itself (FrmAgent::ProccessStopAgent); the
// cycle then ends as soon as the call returns.
#include <QString>

#include "ConfRecords.h"

class FrmAgent;

class MailHooks {
 public:
  virtual ~MailHooks() = default;

  // Opens the session of the current profile (the agent sets its session-open flag after this
  // returns).
  virtual void OpenSession(FrmAgent& agent, const ProfileRecord& profile) {
    (void)agent;
    (void)profile;
  }

  // Closes the open session: after the profile's work, and when the agent stops with a session
  // still open.
  virtual void CloseSession(FrmAgent& agent) { (void)agent; }

  // Handles one entry of the outbound file list: folder + "/" + name is the file. The cycle has
  // already written the session lines and checked the stop request; this sends the file and
  // deletes or renames it. The default leaves the file for a later cycle.
  virtual void ProcessOutboundFile(FrmAgent& agent, const ProfileRecord& profile,
                                   const QString& folder, const QString& name) {
    (void)agent;
    (void)profile;
    (void)folder;
    (void)name;
  }

  // Fetches the current profile's inbound messages into InboundDir. The result is not used by
  // the cycle. Before handling the first message, an implementation calls
  // FrmAgent::WriteSessionLines(); before each message it checks FrmAgent::StopRequested().
  virtual bool ExecGetMail(FrmAgent& agent, QString& InboundDir, QString& FileExtention,
                           bool CreateInfFileInboundMsgs, bool CreateAttchsInMsgs,
                           QString& ResFilesExtention) {
    (void)agent;
    (void)InboundDir;
    (void)FileExtention;
    (void)CreateInfFileInboundMsgs;
    (void)CreateAttchsInMsgs;
    (void)ResFilesExtention;
    return true;
  }
};
