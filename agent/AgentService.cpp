#include "AgentService.h"

#include "AppFolder.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>

#include "AgentTypes.h"

namespace agent {

namespace {

constexpr QLatin1String kProperties("org.freedesktop.DBus.Properties");
constexpr QLatin1String kIntrospectable("org.freedesktop.DBus.Introspectable");
const QLatin1String kInstance(agentbus::kInstanceInterface);

// The interface elements of an introspection file (a resource), without its comments, indented
// to sit in the node that Qt writes around them.
QString InterfaceXml(const char* interface) {
  QFile file(QStringLiteral(":/agentbus/") + QLatin1String(interface) + QStringLiteral(".xml"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QXmlStreamReader in(&file);
  QString xml;
  QXmlStreamWriter out(&xml);
  out.setAutoFormatting(true);
  out.setAutoFormattingIndent(2);
  while (!in.atEnd()) {
    in.readNext();
    if ((in.isStartElement() || in.isEndElement()) && in.name() != u"node")
      out.writeCurrentToken(in);
  }
  QString indented;
  for (const QString& line : xml.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
    indented += QStringLiteral("  ") + line + QLatin1Char('\n');
  return indented;
}

}  // namespace

BusObject::BusObject(AgentService& service, ClassKind kind, const char* interface,
                     QHash<QString, Action> methods, QList<Property> properties)
    : interface_(QString::fromLatin1(interface)),
      xml_(InterfaceXml(interface) + InterfaceXml(agentbus::kInstanceInterface)),
      methods_(std::move(methods)),
      properties_(std::move(properties)) {
  instanceMethods_.insert(QStringLiteral("Hold"),
                          [&service, kind](const QString& caller) { service.Hold(caller, kind); });
  instanceMethods_.insert(QStringLiteral("Release"), [&service, kind](const QString& caller) {
    service.Release(caller, kind);
  });
}

QString BusObject::introspect(const QString&) const { return xml_; }

bool BusObject::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  const QString interface = message.interface();
  // Qt answers Introspect with introspect() and the standard interfaces.
  if (message.member() == u"Introspect" && message.signature().isEmpty() &&
      (interface.isEmpty() || interface == kIntrospectable))
    return false;
  const QDBusMessage reply = Call(message);
  if (message.isReplyRequired()) connection.send(reply);
  return true;
}

QDBusMessage BusObject::Call(const QDBusMessage& m) const {
  const QString interface = m.interface();
  const QString member = m.member();
  if (interface == kProperties ||
      (interface.isEmpty() && (member == u"Get" || member == u"Set" || member == u"GetAll")))
    return PropertyCall(m);
  // Introspect without arguments never gets here (handleMessage).
  if (member == u"Introspect" && (interface.isEmpty() || interface == kIntrospectable))
    return m.createErrorReply(QDBusError::InvalidArgs,
                              QStringLiteral("Introspect takes no arguments"));
  Action action;
  if (interface.isEmpty() || interface == interface_) action = methods_.value(member);
  if (!action && (interface.isEmpty() || interface == kInstance))
    action = instanceMethods_.value(member);
  if (action) {
    if (!m.signature().isEmpty())
      return m.createErrorReply(QDBusError::InvalidArgs,
                                member + QStringLiteral(" takes no arguments"));
    action(m.service());
    return m.createReply();
  }
  if (interface.isEmpty() || interface == interface_ || interface == kInstance ||
      interface == kIntrospectable)
    return m.createErrorReply(QDBusError::UnknownMethod,
                              QStringLiteral("No such method ") + member);
  return m.createErrorReply(QDBusError::UnknownInterface,
                            QStringLiteral("No such interface ") + interface);
}

QDBusMessage BusObject::PropertyCall(const QDBusMessage& m) const {
  const QString member = m.member();
  const char* signature = member == u"Get"      ? "ss"
                          : member == u"Set"    ? "ssv"
                          : member == u"GetAll" ? "s"
                                                : nullptr;
  if (!signature)
    return m.createErrorReply(QDBusError::UnknownMethod,
                              QStringLiteral("No such method ") + member);
  if (m.signature() != QLatin1String(signature))
    return m.createErrorReply(
        QDBusError::InvalidArgs,
        member + QStringLiteral(" takes the arguments (") + QLatin1String(signature) + ')');
  const QList<QVariant> args = m.arguments();
  // An empty interface name stands for any interface of the object; Instance has no properties.
  const QString interface = args.at(0).toString();
  if (!interface.isEmpty() && interface != interface_ && interface != kInstance)
    return m.createErrorReply(QDBusError::UnknownInterface, QStringLiteral("No such interface"));
  const QList<Property> none;
  const QList<Property>& properties = interface == kInstance ? none : properties_;
  if (member == u"GetAll") {
    QVariantMap all;
    for (const Property& p : properties) all.insert(p.name, p.read());
    return m.createReply(QVariant::fromValue(all));
  }
  const QString name = args.at(1).toString();
  const auto property = std::find_if(properties.begin(), properties.end(),
                                     [&](const Property& p) { return p.name == name; });
  if (property == properties.end())
    return m.createErrorReply(QDBusError::UnknownProperty, QStringLiteral("No such property"));
  if (member == u"Get") return m.createReply(QVariant::fromValue(QDBusVariant(property->read())));
  if (!property->write)
    return m.createErrorReply(QDBusError::PropertyReadOnly,
                              property->name + QStringLiteral(" is read-only"));
  // Exactly the property's own type: Qt would convert any other, the string "no" to true.
  const QVariant value = args.at(2).value<QDBusVariant>().variant();
  const QMetaType type = property->read().metaType();
  if (value.metaType() != type)
    return m.createErrorReply(QDBusError::InvalidArgs,
                              property->name + QStringLiteral(" takes a value of type '") +
                                  QLatin1String(QDBusMetaType::typeToSignature(type)) + '\'');
  property->write(value);
  return m.createReply();
}

// ---------------------------------------------------------------------------------------------

AgentService::AgentService(FrmAgent& agent, AgentLog& log, bool runMode, QObject* parent)
    : QObject(parent),
      agent_(agent),
      log_(log),
      runMode_(runMode),
      startStop_(*this, ClassKind::StartStopEng, agentbus::kStartStopEngInterface,
                 {{QStringLiteral("StartMailAgent"), [this](const QString&) { StartMailAgent(); }},
                  {QStringLiteral("StopMailAgent"), [this](const QString&) { StopMailAgent(); }}},
                 {{QStringLiteral("ModeDebug"), [this] { return QVariant(agent_.ModeDebug()); },
                   [this](const QVariant& on) { agent_.SetModeDebug(on.toBool()); }}}),
      state_(*this, ClassKind::AgentState, agentbus::kAgentStateInterface, {},
             {{QStringLiteral("AgentState"),
               [this] { return QVariant(qint32(agent_.AgentState())); }, nullptr},
              {QStringLiteral("Health"),
               [this] { return QVariant(QString::fromUtf8(agent_.HealthDocument())); }, nullptr},
              {QStringLiteral("ApplicationFolder"), [] { return QVariant(vrl::ApplicationFolder()); }, nullptr}}),
      getLog_(*this, ClassKind::GetLog, agentbus::kGetLogInterface,
              {{QStringLiteral("ClearLogFile"), [this](const QString&) { log_.ClearLogFile(); }}},
              {{QStringLiteral("GetTempLogFileName"),
                [this] { return QVariant(log_.GetTempLogFileName()); }, nullptr}}) {
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
    QDBusVirtualObject* object;
  } objects[] = {{agentbus::kStartStopEngPath, &startStop_},
                 {agentbus::kAgentStatePath, &state_},
                 {agentbus::kGetLogPath, &getLog_}};
  for (const auto& o : objects) {
    if (!bus_.registerVirtualObject(QString::fromLatin1(o.path), o.object)) {
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
  if (!registered_) return;
  bus_.send(QDBusMessage::createSignal(QString::fromLatin1(agentbus::kStartStopEngPath),
                                       QString::fromLatin1(agentbus::kStartStopEngInterface),
                                       QStringLiteral("MessageBox"))
            << text << QString::fromLatin1(vrl::MsgBoxIconName(icon)));
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
  if (registered_)
    bus_.send(QDBusMessage::createSignal(QString::fromLatin1(agentbus::kAgentStatePath),
                                         QString::fromLatin1(agentbus::kAgentStateInterface),
                                         QStringLiteral("AgentState"))
              << state);
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
