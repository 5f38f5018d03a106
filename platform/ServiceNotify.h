#pragma once
// Tells the service manager how the program is doing (READY=1, STATUS=...), when it started the
// program with a notification socket ($NOTIFY_SOCKET); otherwise does nothing. The protocol is
// one datagram per message, so no library is needed for it.
#include <QByteArray>

namespace vrl {

// Sends state ("KEY=value" lines) to $NOTIFY_SOCKET. False when the variable is unset or the
// datagram could not be sent (errno tells why).
bool NotifyServiceManager(const QByteArray& state);

}  // namespace vrl
