#pragma once
// The agent's control classes as the console and the configuration program see them. Each
// object talks to the agent on the D-Bus session bus; creating one starts the agent when it is
// not running (service activation). A held object keeps the agent alive until it is destroyed;
// destroying a held ClsStartStopEng stops the agent and deletes its temporary log. A client
// process that dies releases what it held.
//
// Calls block until the agent answers (it answers between two steps of its work). A call that
// does not reach the agent returns false or an empty value and sets LastError().
#include <QObject>
#include <QString>
#include <QVariant>
#include <memory>

#include "AgentTypes.h"

class AgentClientLink;
class OrgVorlaneVRLEng31ClsStartStopEngInterface;
class OrgVorlaneVRLEng31ClsAgentStateInterface;
class OrgVorlaneVRLEng31ClsGetLogInterface;

// What an object does to the agent's lifetime.
enum class AgentHold {
  Held,      // the object holds the agent from its creation to its destruction
  Detached,  // the object only calls: the agent outlives it (command-line use)
};

class AgentClientObject : public QObject {
  Q_OBJECT
 public:
  ~AgentClientObject() override;
  // True when the agent answered the object's creation.
  bool IsValid() const;
  QString LastError() const;

 protected:
  AgentClientObject(const char* path, const char* interface, AgentHold hold, QObject* parent);
  AgentClientLink& Link() const { return *link_; }
  // A property of the object's interface; an invalid value when the call failed.
  QVariant GetProperty(const char* name) const;
  bool SetProperty(const char* name, const QVariant& value);

 private:
  QString path_;
  QString interface_;
  std::unique_ptr<AgentClientLink> link_;
};

class ClsStartStopEng : public AgentClientObject {
  Q_OBJECT
 public:
  explicit ClsStartStopEng(AgentHold hold = AgentHold::Held, QObject* parent = nullptr);
  // Starts a stopped agent; returns after its start sequence (read AgentState for the result).
  bool StartMailAgent();
  // Asks a running agent to stop; returns at once.
  bool StopMailAgent();
  bool ModeDebug() const;
  bool SetModeDebug(bool on);

 signals:
  // A box the agent shows to the user; icon is "critical", "exclamation" or "none".
  void MessageBox(const QString& text, const QString& icon);

 private:
  OrgVorlaneVRLEng31ClsStartStopEngInterface* proxy_;
};

class ClsAgentState : public AgentClientObject {
  Q_OBJECT
 public:
  explicit ClsAgentState(AgentHold hold = AgentHold::Held, QObject* parent = nullptr);
  // The current state; NotRunning when the agent cannot be reached.
  AgentStateConsts AgentState() const;
  // The agent's health record, a JSON object (README: the agent on D-Bus); empty when the agent
  // cannot be reached.
  QString Health() const;
  // The folder the agent works on.
  QString ApplicationFolder() const;

 signals:
  // Every change of state. When the agent process vanishes while it runs, NotRunning.
  void AgentState(qint32 State);

 private:
  OrgVorlaneVRLEng31ClsAgentStateInterface* proxy_;
  qint32 lastState_ = NotRunning;
};

class ClsGetLog : public AgentClientObject {
  Q_OBJECT
 public:
  explicit ClsGetLog(AgentHold hold = AgentHold::Held, QObject* parent = nullptr);
  bool ClearLogFile();
  // Full path of the temporary log, or empty (none since the start or the last clear).
  QString GetTempLogFileName() const;

 private:
  OrgVorlaneVRLEng31ClsGetLogInterface* proxy_;
};

// Service activation starts the agent on the folder the bus was told, the default one as a
// rule. A client working on another folder (--home, $VORLANE_HOME) starts the agent itself with
// --home when none serves the session yet, and waits at most waitMs until it is on the bus.
// program: the agent to start (default: VRLEng31 beside this program, else on the PATH). False
// when an agent was needed but did not come. served, when given, gets the folder of an agent
// that was on the bus already (empty when none was, or it did not say).
bool StartAgentForFolder(const QString& folder, const QString& program = {}, int waitMs = 5000,
                         QString* served = nullptr);
