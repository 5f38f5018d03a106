#pragma once
// Event-driven TCP client socket of the mail engine: non-blocking POSIX socket, readiness through
// QSocketNotifier on the owning thread's event loop, name resolution off that thread with the
// result delivered back on it. Errors carry the system's socket error numbers and texts.
//
// Bytes move through a transport (plain now). A TLS transport can be put in place on a connected
// socket (STARTTLS) or from the start (implicit TLS) without any change for the callers: they
// keep seeing OnConnect, OnDataArrival, GetData and SendData.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "vrlime_export.h"

class QSocketNotifier;

namespace vrlsock {
class Transport;  // byte channel over the connected descriptor
}

class VRLIME_EXPORT CSocket : public QObject {
  Q_OBJECT
 public:
  enum StateConstants {
    sckClosed = 0,
    sckOpen = 1,
    sckListening = 2,
    sckConnectionPending = 3,
    sckResolvingHost = 4,
    sckHostResolved = 5,
    sckConnecting = 6,
    sckConnected = 7,
    sckClosing = 8,
    sckError = 9,
  };
  enum ProtocolConstants { sckTCPProtocol = 0, sckUDPProtocol = 1 };

  explicit CSocket(QObject* parent = nullptr);
  ~CSocket() override;  // closes and unregisters

  // A non-empty host replaces RemoteHost; a port >= 0 replaces RemotePort. Throws
  // vrl::VrlError 10049 "Cannot assign requested address." (source "CSocket.Connect") without
  // a remote host. Resolution and connecting go on in the event loop.
  void Connect(const QString& remoteHost = QString(), long remotePort = -1);
  // Appends to the send buffer and starts sending. Throws 40006 (source "CSocket.SendData") on
  // a TCP object without a socket, 10057 while it is still connecting, and the error of a send
  // that fails at once (the socket is then in state 9).
  void SendData(const QByteArray& data);
  // Takes (GetData) or copies (PeekData) up to maxLen bytes (all when maxLen < 0) from the
  // front of the receive buffer.
  QByteArray GetData(long maxLen = -1);
  QByteArray PeekData(long maxLen = -1) const;
  void CloseSocket();

  long State() const;
  // The last failure came while the transport was being set up (a TLS handshake or its
  // certificate check), not from the connection itself.
  bool HandshakeFailed() const;
  long SocketHandle() const;
  long Protocol() const { return sckTCPProtocol; }
  QString RemoteHost() const;
  void SetRemoteHost(const QString& host);
  QString RemoteHostIP() const;
  long RemotePort() const;
  void SetRemotePort(long port);
  // The local end of the connection (after OnConnect).
  long LocalPort() const;
  QString LocalIP() const;
  QString LocalHostName() const;
  long BytesReceived() const;
  // Bytes still waiting in the send buffer.
  long BytesToSend() const;

  // Puts a transport in place on the connected descriptor (for TLS). Data already in the receive
  // buffer stays there; the transport sees only bytes read after this call; SendData waits until
  // its handshake is over. Before a connection, the transport serves the next one, and OnConnect
  // comes when its handshake is over. A failed handshake: state 9, OnError source
  // "CSocket.Handshake". Null drops a transport still waiting for the next connection.
  void SetTransport(std::unique_ptr<vrlsock::Transport> transport);

  // The transport of the live connection (null without one); it goes with the connection.
  const vrlsock::Transport* CurrentTransport() const;

  // Sees every change of State, in order (tests and diagnostics); an empty function removes it.
  VRLIME_NO_EXPORT void SetStateObserver(std::function<void(long)> observer);

 signals:
  void OnClose();
  void OnConnect();
  void OnDataArrival(long bytesTotal);
  void OnError(int Number, const QString& Description, const QString& Source);
  void OnSendComplete();
  void OnSendProgress(long bytesSent, long bytesRemaining);

 private:
  struct VRLIME_NO_EXPORT Impl;
  void setState(long state);
  std::unique_ptr<Impl> d_;
};
