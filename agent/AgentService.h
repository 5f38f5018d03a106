#pragma once
// The agent on the D-Bus session bus: the three control classes under their object paths, the
// boxes handed to the user, and the holds of the client objects that decide how long an agent
// started for a console lives.
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <array>

#include "AgentLog.h"
#include "FrmAgent.h"
#include "MessageBox.h"

class QDBusServiceWatcher;

namespace agent {

class AgentService;

// The kinds of client object, in the order of the holds' counters.
enum class ClassKind { StartStopEng = 0, AgentState = 1, GetLog = 2 };

// A class exported on the bus; knows who calls it (the bus hands the call's context to the
// exported object, not to its adaptors).
class ControlObject : public QObject, protected QDBusContext {
  Q_OBJECT

 public:
  // The caller's unique bus name; empty outside a bus call.
  QString Caller() const { return calledFromDBus() ? message().service() : QString(); }
};

class ClsStartStopEng : public ControlObject {
  Q_OBJECT
  Q_PROPERTY(bool ModeDebug READ ModeDebug WRITE SetModeDebug)

 public:
  explicit ClsStartStopEng(AgentService& service);
  bool ModeDebug() const;
  void SetModeDebug(bool on);

 public slots:
  void StartMailAgent();
  void StopMailAgent();

 signals:
  void MessageBox(const QString& text, const QString& icon);

 private:
  AgentService& service_;
};

class ClsAgentState : public ControlObject {
  Q_OBJECT
  Q_PROPERTY(int AgentState READ CurrentState)
  Q_PROPERTY(QString Health READ Health)

 public:
  explicit ClsAgentState(AgentService& service);
  int CurrentState() const;
  QString Health() const;

 signals:
  void AgentState(int State);

 private:
  AgentService& service_;
};

class ClsGetLog : public ControlObject {
  Q_OBJECT
  Q_PROPERTY(QString GetTempLogFileName READ GetTempLogFileName)

 public:
  explicit ClsGetLog(AgentService& service);
  QString GetTempLogFileName() const;

 public slots:
  void ClearLogFile();

 private:
  AgentService& service_;
};

// Hold and Release on each path; the caller's bus name identifies the client.
class InstanceAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.vorlane.VRLEng31.Instance")

 public:
  InstanceAdaptor(ControlObject* object, AgentService& service, ClassKind kind);

 public slots:
  void Hold();
  void Release();

 private:
  ControlObject* object_;
  AgentService& service_;
  ClassKind kind_;
};

class AgentService : public QObject {
  Q_OBJECT

 public:
  // runMode: the agent was started with --run; clients never end it then.
  AgentService(FrmAgent& agent, AgentLog& log, bool runMode, QObject* parent = nullptr);
  ~AgentService() override;

  // Exports the objects and takes the well-known name. False, with the reason, when there is
  // no session bus or another process owns the name.
  bool Register(const QDBusConnection& bus, QString* error);
  // Gives the name up (first, so that a newcomer is activated rather than calling this one).
  void Unregister();
  bool Registered() const { return registered_; }

  // Hands a box to the clients.
  void RelayMessageBox(const QString& text, vrl::MsgBoxIcon icon);

  // --- What the classes do ---
  void StartMailAgent();
  void StopMailAgent();
  void Hold(const QString& client, ClassKind kind);
  void Release(const QString& client, ClassKind kind);
  FrmAgent& Agent() { return agent_; }
  AgentLog& Log() { return log_; }

  int HoldCount() const;

  // How long an idle agent that nobody holds waits before it ends: time for a client that
  // has just released one object to create the next.
  static constexpr int kLingerMs = 2000;
  // How often the agent looks whether its bus is still there.
  static constexpr int kBusCheckMs = 1000;

 signals:
  // The agent is idle and no client holds it: the process may end.
  void Unneeded();
  // The session bus went away (the user's session ended): no client can reach the agent.
  void BusLost();

 private:
  void OnStateChanged(qint32 state);
  void ClientVanished(const QString& client);
  void StartStopEngReleased();
  void CheckUnneeded();

  FrmAgent& agent_;
  AgentLog& log_;
  bool runMode_;
  bool registered_ = false;
  QDBusConnection bus_{QString()};
  ClsStartStopEng startStop_;
  ClsAgentState state_;
  ClsGetLog getLog_;
  QHash<QString, std::array<int, 3>> holds_;
  QDBusServiceWatcher* watcher_ = nullptr;
  bool unloadPending_ = false;
  QTimer linger_;
  QTimer busCheck_;
};

}  // namespace agent
