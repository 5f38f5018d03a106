#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "AppFolder.h"

namespace {
const QString kPath = QStringLiteral("/Console");
const QString kInterface = QStringLiteral("org.vorlane.VRL31.Console");
}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  const QByteArray folder = QCryptographicHash::hash(vrl::ApplicationFolder().toUtf8(), QCryptographicHash::Sha1);
  name_ = QStringLiteral("org.vorlane.VRL31.Console_") + QString::fromLatin1(folder.toHex().left(16));
}

void SingleInstance::Show() { emit ShowRequested(); }

bool SingleInstance::Claim(bool* shown) {
  if (shown) *shown = false;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return true;
  // Owning the name is atomic: of two consoles starting together exactly one gets it.
  bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots);
  const auto reply = bus.interface()->registerService(name_, QDBusConnectionInterface::DontQueueService,
                                                      QDBusConnectionInterface::DontAllowReplacement);
  if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) return true;
  bus.unregisterObject(kPath);
  QDBusMessage call = QDBusMessage::createMethodCall(name_, kPath, kInterface, QStringLiteral("Show"));
  call.setAutoStartService(false);
  const QDBusMessage answer = bus.call(call, QDBus::Block, 5000);
  if (shown) *shown = answer.type() == QDBusMessage::ReplyMessage;
  return false;
}
