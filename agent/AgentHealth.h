#pragma once
// The agent's health record. Per profile: when it last took part in a cycle, what that cycle did
// (files sent, files kept for a retry, files renamed BAD, messages received, error lines), the
// same counts summed since the record began, and its last error with the time; for the agent:
// the last cycle and its last error of any kind. A cycle's counts show when the cycle ends; the
// record is then replaced whole in the application folder, so that it outlives the agent and
// can be read while none runs.
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>

#include "AgentContext.h"
#include "AgentTypes.h"
#include "JsonRecordFile.h"

namespace agent {

class AgentHealth {
 public:
  void BeginCycle(const QDateTime& now);
  // The profile whose work follows, until the next one or the end of the cycle.
  void BeginProfile(const QString& name);
  void Count(HealthCount what);
  // The OAuth sign-in of the profile in hand (see AgentContext::OAuthState); kept until it changes.
  void OAuth(const QString& state, bool works, const QDateTime& renewed, const QDateTime& when);
  // An error line (its text without the prefix), logged at `when`.
  void Error(const QString& text, const QDateTime& when);
  // Ends the cycle: the counts of each profile that took part replace its last cycle's and add to
  // its totals; profiles not among `configured` leave the record; the record is written. False
  // (see TakeWriteError) when the file could not be written.
  bool EndCycle(const QStringList& configured);

  // When the agent started processing (null: it does not run); the live record says it as
  // agentStart, its file never does.
  void SetAgentStart(const QDateTime& when) { agentStart_ = when; }
  // The live record, as compact JSON and as an object.
  QByteArray Document();
  QJsonObject Object();
  // The last cycle in one line: "Last cycle <time>: 1 sent, 0 retried, 0 BAD, 2 received, 0 errors".
  const QString& Summary() const { return summary_; }
  // "<path> - <reason>" of the last write that failed, once; empty when none failed.
  QString TakeWriteError();

 private:
  using Counts = std::array<int, 5>;
  void Load();
  QJsonObject Record();
  QJsonObject& ProfileEntry(const QString& name);

  bool loaded_ = false;
  JsonRecordFile file_{QString::fromLatin1(agentbus::kHealthFileName)};
  QJsonObject record_;
  QDateTime cycle_;  // null outside a cycle
  QString current_;
  QHash<QString, Counts> counts_;  // of the cycle in hand, by profile
  QHash<QString, QJsonObject> profiles_;
  QString summary_;
  QDateTime agentStart_;
};

}  // namespace agent
