#pragma once
// What the mail steps may ask of the agent while they work inside a cycle: write a log line, show
// a box, write the lazy session lines, check the stop request, let pending events run. The agent
// implements it; the mail steps know nothing else of the agent.
#include <QDateTime>
#include <QString>

#include "MessageBox.h"

// What the health record counts for the profile in hand.
enum class HealthCount { Sent, Retried, Bad, Received, Errors };

namespace agent {
class Fleet;
}

class AgentContext {
 public:
  virtual ~AgentContext() = default;

  // Writes one line to the log.
  virtual void Log(const QString& message) = 0;
  // Shows text in a box (title "Vorlane"), only when ShowErrorMsgs is on.
  virtual void Show(const QString& text, vrl::MsgBoxIcon icon = vrl::MsgBoxIcon::Exclamation) = 0;
  // Logs prefix + text and shows text (without the prefix) as Show does.
  void LogAndShow(const QString& prefix, const QString& text) {
    Log(prefix + text);
    Show(text);
  }

  // Before the first file or message of a profile: ends the previous profile's session line and
  // starts this one's (nothing when this profile's line is already the last one).
  virtual void WriteSessionLines() = 0;
  // A line about the profile's connection: written right after its session lines, and dropped
  // when the profile finds no work (an idle cycle leaves the log as it was).
  virtual void LogWithSession(const QString& message) { Log(message); }
  // When a stop is requested and the agent runs, stops it (closing the open session) and returns
  // true: the caller then returns at once without touching its clients again.
  virtual bool StopIfRequested() = 0;
  // Whether a stop waits to be honoured, without honouring it.
  virtual bool StopRequested() const { return false; }
  // Lets pending events run (control calls, signals).
  virtual void DoEvents() = 0;

  // Counts one event of the profile in hand for the health record (the agent counts errors itself).
  virtual void Count(HealthCount what) { (void)what; }
  // The OAuth sign-in of the profile in hand for the health record: its state ("signed in",
  // "sign in again", "not renewed"), whether it works, and when the provider last gave tokens.
  virtual void OAuthState(const QString& state, bool works, const QDateTime& renewed) {
    (void)state, (void)works, (void)renewed;
  }

  // The agent's part in a fleet (the journals then live in its database); null on one machine.
  virtual agent::Fleet* FleetMember() { return nullptr; }

  virtual bool ModeDebug() const = 0;
  virtual const QString& CurrentProfileName() const = 0;
  // The global MaxMessageMB: larger messages stay on the server; 0 for no limit.
  virtual qint32 MaxMessageMB() const { return 0; }
  // The global MaxAttachments: a message with more files stays on the server; 0 for no limit.
  virtual qint32 MaxAttachments() const { return 1000; }
};

// The kind prefixes of log lines.
inline const QString kLogInfo = QStringLiteral("INFORMATION: ");
inline const QString kLogError = QStringLiteral("ERROR:\t ");
inline const QString kLogAlert = QStringLiteral("ALERT:\t ");
