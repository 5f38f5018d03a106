#pragma once
// The far end of socket tests: a plain POSIX listener on 127.0.0.1 (or ::1), blocking helpers with
// bounded waits (usable from any thread), and a CSocket with its event recorder and accepted peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <vector>

#include "EventWait.h"
#include "socket/CSocket.h"

namespace socktest {

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  return vrl::EventWait::Until(done, {}, timeoutMs) == vrl::EventWait::Done;
}

class Listener {
 public:
  // listen false: a bound port that refuses connections, which nobody else can take meanwhile.
  explicit Listener(bool ipv6 = false, bool listen = true) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a6{AF_INET6, 0, 0, in6addr_loopback, 0};
    sockaddr_in a4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = ipv6 ? sizeof a6 : sizeof a4;
    if (fd_ >= 0 && ::bind(fd_, addr, len) == 0 && (!listen || ::listen(fd_, 16) == 0) &&
        ::getsockname(fd_, addr, &len) == 0)
      port_ = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // A connection already completed by the kernel (the client side may not have seen it yet).
  int acceptOne(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Reads exactly n bytes or until EOF / time-out.
inline QByteArray ReadExactly(int fd, qsizetype n, int timeoutMs = 10000) {
  QByteArray out;
  char buf[65536];
  for (pollfd p{fd, POLLIN, 0}; out.size() < n && ::poll(&p, 1, timeoutMs) == 1;) {
    const ssize_t got = ::recv(fd, buf, std::min<qsizetype>(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, got);
  }
  return out;
}

inline bool WriteAll(int fd, const QByteArray& data) {
  for (qsizetype off = 0; off < data.size();) {
    const ssize_t n = ::send(fd, data.constData() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR) return false;
    off += std::max<ssize_t>(n, 0);
  }
  return true;
}

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

// What a CSocket reports: its events in order and every change of its state.
struct Recorder {
  explicit Recorder(CSocket& s) {
    s.SetStateObserver([this](long st) { states.push_back(st); });
    QObject::connect(&s, &CSocket::OnConnect, [this] { events << "connect"; });
    QObject::connect(&s, &CSocket::OnClose, [this] { events << "close"; });
    QObject::connect(&s, &CSocket::OnDataArrival, [this](long) { events << "data"; });
    QObject::connect(&s, &CSocket::OnError, [this](int n, const QString& text, const QString& source) {
      events << "error";
      errNumber = n;
      errText = text;
      errSource = source;
    });
    QObject::connect(&s, &CSocket::OnSendProgress, [this](long sent, long) { progressSent += sent; });
    QObject::connect(&s, &CSocket::OnSendComplete, [this] { ++sendComplete; });
  }
  bool has(const QString& e) const { return events.contains(e); }

  QStringList events;
  std::vector<long> states;
  int errNumber = 0;
  QString errText, errSource;
  long long progressSent = 0;
  int sendComplete = 0;
};

// Connects s to the listener and returns the peer's descriptor (-1 on failure).
inline int ConnectPair(CSocket& s, Listener& l, Recorder& r, const QString& host = QStringLiteral("127.0.0.1")) {
  s.Connect(host, l.port());
  return WaitFor([&] { return r.has("connect") || r.has("error"); }) && r.has("connect") ? l.acceptOne() : -1;
}

// A listener on 127.0.0.1, the socket under test with its recorder, and the accepted peer.
struct SocketPair {
  Listener l;
  CSocket s;
  Recorder r{s};
  PeerFd peer;

  // Connected on both sides: the socket has reported OnConnect. Call inside ASSERT_NO_FATAL_FAILURE.
  void connect() {
    ASSERT_TRUE(l.ok());
    peer.fd = ConnectPair(s, l, r);
    ASSERT_GE(peer.fd, 0);
  }
};

}  // namespace socktest
