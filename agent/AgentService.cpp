#include "AgentService.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

#include "AgentTypes.h"
#include "ClsAgentStateAdaptor.h"
#include "ClsGetLogAdaptor.h"
#include "ClsStartStopEngAdaptor.h"

namespace agent {

ClsStartStopEng::ClsStartStopEng(AgentService& service) : service_(service) {}
bool ClsStartStopEng::ModeDebug() const { return service_.Agent().ModeDebug(); }
void ClsStartStopEng::SetModeDebug(bool on) { service_.Agent().SetModeDebug(on); }
void ClsStartStopEng::StartMailAgent() { service_.StartMailAgent(); }
void ClsStartStopEng::StopMailAgent() { service_.StopMailAgent(); }

ClsAgentState::ClsAgentState(AgentService& service) : service_(service) {}
int ClsAgentState::CurrentState() const { return service_.Agent().AgentState(); }
QString ClsAgentState::Health() const { return QString::fromUtf8(service_.Agent().HealthDocument()); }

ClsGetLog::ClsGetLog(AgentService& service) : service_(service) {}
QString ClsGetLog::GetTempLogFileName() const { return service_.Log().GetTempLogFileName(); }
void ClsGetLog::ClearLogFile() { service_.Log().ClearLogFile(); }

InstanceAdaptor::InstanceAdaptor(ControlObject* object, AgentService& service, ClassKind kind)
    : QDBusAbstractAdaptor(object), object_(object), service_(service), kind_(kind) {}

void InstanceAdaptor::Hold() { service_.Hold(object_->Caller(), kind_); }
void InstanceAdaptor::Release() { service_.Release(object_->Caller(), kind_); }

// ---------------------------------------------------------------------------------------------

AgentService::AgentService(FrmAgent& agent, AgentLog& log, bool runMode, QObject* parent)
    : QObject(parent),
      agent_(agent),
      log_(log),
      runMode_(runMode),
      startStop_(*this),
      state_(*this),
      getLog_(*this) {
  new ClsStartStopEngAdaptor(&startStop_);
  new InstanceAdaptor(&startStop_, *this, ClassKind::StartStopEng);
  new ClsAgentStateAdaptor(&state_);
  new InstanceAdaptor(&state_, *this, ClassKind::AgentState);
  new ClsGetLogAdaptor(&getLog_);
  new InstanceAdaptor(&getLog_, *this, ClassKind::GetLog);

  connect(&agent_, &FrmAgent::FireEventAgentState, this, &AgentService::OnStateChanged);
  linger_.setSingleShot(true);
  linger_.setInterval(kLingerMs);
  connect(&linger_, &QTimer::timeout, this, [this] {
    if (!runMode_ && HoldCount() == 0 && agent_.AgentState() == NotRunning) emit Unneeded();
  });
  // A lost connection sends nothing the agent could wait on; a cheap local look does.
  busCheck_.setInterval(kBusCheckMs);
  connect(&busCheck_, &QTimer::timeout, this, [this] {
    if (bus_.isConnected()) return;
    busCheck_.stop();
    registered_ = false;
    emit BusLost();
  });
}

AgentService::~AgentService() { Unregister(); }

bool AgentService::Register(const QDBusConnection& bus, QString* error) {
  if (!bus.isConnected()) {
    if (error) *error = QStringLiteral("no D-Bus session bus (") + bus.lastError().message() + ')';
    return false;
  }
  bus_ = bus;
  const struct {
    const char* path;
    QObject* object;
  } objects[] = {{agentbus::kStartStopEngPath, &startStop_},
                 {agentbus::kAgentStatePath, &state_},
                 {agentbus::kGetLogPath, &getLog_}};
  for (const auto& o : objects) {
    if (!bus_.registerObject(QString::fromLatin1(o.path), o.object,
                             QDBusConnection::ExportAdaptors)) {
      if (error) *error = QStringLiteral("cannot export ") + QString::fromLatin1(o.path);
      Unregister();
      return false;
    }
  }
  if (!bus_.registerService(QString::fromLatin1(agentbus::kServiceName))) {
    if (error)
      *error = QStringLiteral("another process owns the name ") +
               QString::fromLatin1(agentbus::kServiceName) + QStringLiteral(" on this session bus");
    Unregister();
    return false;
  }
  registered_ = true;

  watcher_ = new QDBusServiceWatcher(this);
  watcher_->setConnection(bus_);
  watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
          &AgentService::ClientVanished);
  busCheck_.start();
  CheckUnneeded();
  return true;
}

void AgentService::Unregister() {
  if (!bus_.isConnected()) return;
  if (registered_) bus_.unregisterService(QString::fromLatin1(agentbus::kServiceName));
  for (const char* path :
       {agentbus::kStartStopEngPath, agentbus::kAgentStatePath, agentbus::kGetLogPath})
    bus_.unregisterObject(QString::fromLatin1(path));
  registered_ = false;
  delete watcher_;
  watcher_ = nullptr;
  linger_.stop();
  busCheck_.stop();
}

void AgentService::RelayMessageBox(const QString& text, vrl::MsgBoxIcon icon) {
  // Never waits for anyone: a signal, shown by whichever console listens.
  if (registered_) emit startStop_.MessageBox(text, QString::fromLatin1(vrl::MsgBoxIconName(icon)));
}

void AgentService::StartMailAgent() {
  if (agent_.AgentState() != NotRunning) return;
  unloadPending_ = false;
  if (agent_.FormLoaded()) agent_.CmdStopStart_Click();
  else agent_.Form_Load();
}

void AgentService::StopMailAgent() {
  if (agent_.AgentState() == Running) agent_.CmdStopStart_Click();
}

void AgentService::OnStateChanged(qint32 state) {
  emit state_.AgentState(state);
  if (state == NotRunning && unloadPending_) {
    unloadPending_ = false;
    agent_.Form_Unload();
  }
  CheckUnneeded();
}

int AgentService::HoldCount() const {
  int n = 0;
  for (const auto& counts : holds_)
    for (int c : counts) n += c;
  return n;
}

void AgentService::Hold(const QString& client, ClassKind kind) {
  if (client.isEmpty()) return;
  auto it = holds_.find(client);
  if (it == holds_.end()) {
    it = holds_.insert(client, {0, 0, 0});
    if (watcher_) watcher_->addWatchedService(client);
  }
  ++(*it)[static_cast<int>(kind)];
  CheckUnneeded();
  // A client that vanished before its hold arrived would otherwise hold the agent for ever.
  if (!bus_.interface()->isServiceRegistered(client).value()) ClientVanished(client);
}

void AgentService::Release(const QString& client, ClassKind kind) {
  auto it = holds_.find(client);
  if (it == holds_.end() || (*it)[static_cast<int>(kind)] == 0) return;
  --(*it)[static_cast<int>(kind)];
  if ((*it)[0] + (*it)[1] + (*it)[2] == 0) {
    holds_.erase(it);
    if (watcher_) watcher_->removeWatchedService(client);
  }
  if (kind == ClassKind::StartStopEng) StartStopEngReleased();
  CheckUnneeded();
}

void AgentService::ClientVanished(const QString& client) {
  const auto it = holds_.find(client);
  if (it == holds_.end()) return;
  const bool heldStartStop = (*it)[0] > 0;
  holds_.erase(it);
  if (watcher_) watcher_->removeWatchedService(client);
  // A client that dies releases what it held.
  if (heldStartStop) StartStopEngReleased();
  CheckUnneeded();
}

void AgentService::StartStopEngReleased() {
  if (runMode_) return;
  // Releasing the object unloads the main form. A running agent first stops in order (at its
  // next check), so no file or message is left half done, and unloads when it has stopped.
  if (agent_.AgentState() == Running) {
    unloadPending_ = true;
    if (!agent_.StopRequest()) agent_.CmdStopStart_Click();
  } else {
    agent_.Form_Unload();
  }
}

void AgentService::CheckUnneeded() {
  if (runMode_ || !registered_) return;
  if (HoldCount() == 0 && agent_.AgentState() == NotRunning) linger_.start();
  else linger_.stop();
}

}  // namespace agent
