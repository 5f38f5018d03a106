#pragma once
// A CSocket and its loopback peer, the start of most socket tests.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "socket/CSocket.h"
#include "LoopbackPeer.h"
#include "SocketRecorder.h"

namespace socktest {

// The peer's descriptor, closed at the end of the test unless the test closed it.
struct PeerFd {
  int fd = -1;
  ~PeerFd() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Closes with RST instead of FIN.
  void reset() {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
  }
};

// Connects s to the listener and returns the peer's descriptor (-1 on failure).
inline int ConnectPair(CSocket& s, Listener& l, Recorder& r, const QString& host = QStringLiteral("127.0.0.1")) {
  s.Connect(host, l.port());
  if (!WaitFor([&] { return r.has("connect") || r.has("error"); })) return -1;
  if (!r.has("connect")) return -1;
  return l.acceptOne();
}

// A listener on 127.0.0.1, the socket under test with its recorder, and the accepted peer.
// Call the steps inside ASSERT_NO_FATAL_FAILURE.
struct SocketPair {
  Listener l;
  CSocket s;
  Recorder r{s};
  PeerFd peer;

  // Connected on both sides: the socket has reported OnConnect.
  void connect() {
    ASSERT_TRUE(l.ok());
    peer.fd = ConnectPair(s, l, r);
    ASSERT_GE(peer.fd, 0);
  }
  // Accepted by the peer, without waiting for the socket's own events.
  void accept() {
    ASSERT_TRUE(l.ok());
    s.Connect(QStringLiteral("127.0.0.1"), l.port());
    peer.fd = l.acceptOne();
    ASSERT_GE(peer.fd, 0);
  }
};

}  // namespace socktest
