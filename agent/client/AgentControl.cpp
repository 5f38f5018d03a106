#include "AgentControl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <functional>

#include "AppFolder.h"
#include "ClsAgentStateProxy.h"
#include "ClsGetLogProxy.h"
#include "ClsStartStopEngProxy.h"

namespace {
// A release on the way out must not keep a closing client waiting for long.
constexpr int kReleaseTimeoutMs = 5000;
}  // namespace

// The connection of one client object to the agent: the hold, and who holds it.
class AgentClientLink {
 public:
  AgentClientLink(QObject* owner, const char* path, AgentHold hold)
      : bus_(QDBusConnection::sessionBus()), path_(QString::fromLatin1(path)), hold_(hold) {
    if (!bus_.isConnected()) {
      lastError_ = QStringLiteral("no D-Bus session bus: ") + bus_.lastError().message();
      return;
    }
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(agentbus::kServiceName), bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, owner);
    QObject::connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, owner,
                     [this](const QString&, const QString&, const QString& newOwner) {
                       OwnerChanged(newOwner);
                     });
    valid_ = Reach();
  }

  ~AgentClientLink() {
    if (hold_ != AgentHold::Held || heldOwner_.isEmpty()) return;
    // To the very process that was held: a release must never start a new agent.
    QDBusMessage m = QDBusMessage::createMethodCall(heldOwner_, path_,
                                                    QString::fromLatin1(agentbus::kInstanceInterface),
                                                    QStringLiteral("Release"));
    m.setAutoStartService(false);
    bus_.call(m, QDBus::Block, kReleaseTimeoutMs);
  }

  const QDBusConnection& Bus() const { return bus_; }
  bool Valid() const { return valid_; }
  const QString& LastError() const { return lastError_; }

  // Records the outcome of a call (LastError is the last call's); true when it succeeded.
  bool Check(const QDBusError& error) const {
    if (!error.isValid()) {
      lastError_.clear();
      return true;
    }
    lastError_ = error.name() + QStringLiteral(": ") + error.message();
    return false;
  }
  template <class Reply>
  bool Wait(Reply reply) const {
    reply.waitForFinished();
    return Check(reply.error());
  }

  std::function<void()> onVanished;

 private:
  // Starts the agent when needed: a hold, or a ping for a detached object.
  bool Reach() {
    const QString iface = QString::fromLatin1(hold_ == AgentHold::Held ? agentbus::kInstanceInterface
                                                                       : "org.freedesktop.DBus.Peer");
    const QString method = hold_ == AgentHold::Held ? QStringLiteral("Hold") : QStringLiteral("Ping");
    const QDBusMessage reply = bus_.call(QDBusMessage::createMethodCall(
        QString::fromLatin1(agentbus::kServiceName), path_, iface, method));
    if (reply.type() != QDBusMessage::ReplyMessage) {
      lastError_ = reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
      return false;
    }
    if (hold_ == AgentHold::Held) heldOwner_ = reply.service();
    return true;
  }

  void OwnerChanged(const QString& newOwner) {
    if (newOwner.isEmpty()) {
      heldOwner_.clear();
      if (onVanished) onVanished();
    } else if (hold_ == AgentHold::Held && newOwner != heldOwner_) {
      // A new agent process: it learns of this object's hold too.
      valid_ = Reach();
    }
  }

  QDBusConnection bus_;
  QString path_;
  AgentHold hold_;
  QDBusServiceWatcher* watcher_ = nullptr;
  QString heldOwner_;
  bool valid_ = false;
  mutable QString lastError_;
};

AgentClientObject::AgentClientObject(const char* path, const char* interface, AgentHold hold,
                                     QObject* parent)
    : QObject(parent),
      path_(QString::fromLatin1(path)),
      interface_(QString::fromLatin1(interface)),
      link_(std::make_unique<AgentClientLink>(this, path, hold)) {}

AgentClientObject::~AgentClientObject() = default;

bool AgentClientObject::IsValid() const { return link_->Valid(); }
QString AgentClientObject::LastError() const { return link_->LastError(); }

QVariant AgentClientObject::GetProperty(const char* name) const {
  QDBusMessage m = QDBusMessage::createMethodCall(QString::fromLatin1(agentbus::kServiceName), path_,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("Get"));
  m << interface_ << QString::fromLatin1(name);
  const QDBusMessage reply = link_->Bus().call(m);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    link_->Check(QDBusError(reply));
    return {};
  }
  return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

bool AgentClientObject::SetProperty(const char* name, const QVariant& value) {
  QDBusMessage m = QDBusMessage::createMethodCall(QString::fromLatin1(agentbus::kServiceName), path_,
                                                  QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("Set"));
  m << interface_ << QString::fromLatin1(name) << QVariant::fromValue(QDBusVariant(value));
  return link_->Check(QDBusError(link_->Bus().call(m)));
}

// ---------------------------------------------------------------------------------------------

namespace {
template <class Proxy>
Proxy* MakeProxy(QObject* owner, const QDBusConnection& bus, const char* path) {
  return new Proxy(QString::fromLatin1(agentbus::kServiceName), QString::fromLatin1(path), bus,
                   owner);
}
}  // namespace

ClsStartStopEng::ClsStartStopEng(AgentHold hold, QObject* parent)
    : AgentClientObject(agentbus::kStartStopEngPath, agentbus::kStartStopEngInterface, hold,
                        parent),
      proxy_(MakeProxy<OrgVorlaneVRLEng31ClsStartStopEngInterface>(this, Link().Bus(),
                                                                   agentbus::kStartStopEngPath)) {
  connect(proxy_, &OrgVorlaneVRLEng31ClsStartStopEngInterface::MessageBox, this,
          &ClsStartStopEng::MessageBox);
}

bool ClsStartStopEng::StartMailAgent() { return Link().Wait(proxy_->StartMailAgent()); }
bool ClsStartStopEng::StopMailAgent() { return Link().Wait(proxy_->StopMailAgent()); }

bool ClsStartStopEng::ModeDebug() const { return GetProperty("ModeDebug").toBool(); }
bool ClsStartStopEng::SetModeDebug(bool on) { return SetProperty("ModeDebug", on); }

ClsAgentState::ClsAgentState(AgentHold hold, QObject* parent)
    : AgentClientObject(agentbus::kAgentStatePath, agentbus::kAgentStateInterface, hold, parent),
      proxy_(MakeProxy<OrgVorlaneVRLEng31ClsAgentStateInterface>(this, Link().Bus(),
                                                                 agentbus::kAgentStatePath)) {
  connect(proxy_, &OrgVorlaneVRLEng31ClsAgentStateInterface::AgentState, this, [this](int state) {
    lastState_ = state;
    emit AgentState(state);
  });
  Link().onVanished = [this] {
    // A vanished agent no longer runs, whatever it last said.
    if (lastState_ == Running) {
      lastState_ = NotRunning;
      emit AgentState(NotRunning);
    }
  };
}

AgentStateConsts ClsAgentState::AgentState() const {
  return GetProperty("AgentState").toInt() == Running ? Running : NotRunning;
}

QString ClsAgentState::Health() const { return GetProperty("Health").toString(); }
QString ClsAgentState::ApplicationFolder() const { return GetProperty("ApplicationFolder").toString(); }

ClsGetLog::ClsGetLog(AgentHold hold, QObject* parent)
    : AgentClientObject(agentbus::kGetLogPath, agentbus::kGetLogInterface, hold, parent),
      proxy_(MakeProxy<OrgVorlaneVRLEng31ClsGetLogInterface>(this, Link().Bus(),
                                                             agentbus::kGetLogPath)) {}

bool ClsGetLog::ClearLogFile() { return Link().Wait(proxy_->ClearLogFile()); }

QString ClsGetLog::GetTempLogFileName() const {
  return GetProperty("GetTempLogFileName").toString();
}

bool StartAgentForFolder(const QString& folder, const QString& program, int waitMs, QString* served) {
  const QDBusConnection bus = QDBusConnection::sessionBus();
  const QString name = QString::fromLatin1(agentbus::kServiceName);
  const auto onBus = [&] { return bus.interface()->isServiceRegistered(name).value(); };
  if (served) served->clear();
  if (!bus.isConnected()) return true;
  if (onBus()) {
    if (!served) return true;
    QDBusMessage get = QDBusMessage::createMethodCall(name, QString::fromLatin1(agentbus::kAgentStatePath),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(agentbus::kAgentStateInterface) << QStringLiteral("ApplicationFolder");
    get.setAutoStartService(false);
    const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage)
      *served = reply.arguments().value(0).value<QDBusVariant>().variant().toString();
    return true;
  }
  if (folder == vrl::DefaultApplicationFolder()) return true;
  QString agent = program;
  if (agent.isEmpty()) {
    agent = QCoreApplication::applicationDirPath() + QStringLiteral("/VRLEng31");
    if (!QFileInfo(agent).isExecutable()) agent = QStringLiteral("VRLEng31");
  }
  if (!QProcess::startDetached(agent, {QStringLiteral("--home"), folder})) return false;
  for (QDeadlineTimer deadline(waitMs); !deadline.hasExpired(); QThread::msleep(20)) {
    if (onBus()) return true;
  }
  return false;
}
