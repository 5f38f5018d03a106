#pragma once
// The agent on the D-Bus session bus: the three control classes under their object paths, the
// boxes handed to the user, and the holds of the client objects that decide how long an agent
// started for a console lives.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <array>
#include <functional>

#include "AgentLog.h"
#include "FrmAgent.h"
#include "MessageBox.h"

class QDBusServiceWatcher;

namespace agent {

class AgentService;

// The kinds of client object, in the order of the holds' counters.
enum class ClassKind { StartStopEng = 0, AgentState = 1, GetLog = 2 };

// One exported object: the interface of its class and org.vorlane.VRLEng31.Instance. It reads
// each call as it came from the bus, before any conversion: a call whose arguments differ from
// the member's signature is refused with InvalidArgs and does nothing, and a property takes only
// a value of its own type (Qt's adaptors would turn the string "no" into true).
class BusObject : public QDBusVirtualObject {
  Q_OBJECT

 public:
  // What a method does; it takes no arguments and learns the caller's unique bus name.
  using Action = std::function<void(const QString& caller)>;
  struct Property {
    QString name;
    std::function<QVariant()> read;
    // None: read-only. A value to write has the type that read() gives.
    std::function<void(const QVariant&)> write;
  };

  // methods and properties: those of the class's interface. Hold and Release of the Instance
  // interface count for kind; the introspection comes from the interfaces' files.
  BusObject(AgentService& service, ClassKind kind, const char* interface,
            QHash<QString, Action> methods, QList<Property> properties);

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  QDBusMessage Call(const QDBusMessage& message) const;
  QDBusMessage PropertyCall(const QDBusMessage& message) const;

  QString interface_;
  QString xml_;
  QHash<QString, Action> methods_;
  QHash<QString, Action> instanceMethods_;
  QList<Property> properties_;
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
  BusObject startStop_;
  BusObject state_;
  BusObject getLog_;
  QHash<QString, std::array<int, 3>> holds_;
  QDBusServiceWatcher* watcher_ = nullptr;
  bool unloadPending_ = false;
  QTimer linger_;
  QTimer busCheck_;
};

}  // namespace agent
