#pragma once
// The far end of socket tests: a plain POSIX listener on 127.0.0.1 (or ::1) and blocking helpers
// with bounded waits, usable from the test thread or from a peer thread.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QTimer>

#include "EventWait.h"

namespace socktest {

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  return vrl::EventWait::Until(done, {}, timeoutMs) == vrl::EventWait::Done;
}

// Reads n bytes from a peer descriptor while the event loop runs (the socket under test is
// served meanwhile). Bounded by the time.
inline QByteArray PumpRead(int fd, qsizetype n, int timeoutMs = 10000) {
  QByteArray out;
  QTimer tick;  // the peer's bytes are no event of this loop: look at them regularly
  tick.start(2);
  vrl::EventWait::Until(
      [&] {
        char buf[65536];
        for (;;) {
          if (out.size() >= n) return true;
          const ssize_t got = ::recv(fd, buf, std::min<qsizetype>(sizeof buf, n - out.size()), MSG_DONTWAIT);
          if (got <= 0) return got == 0;
          out.append(buf, got);
        }
      },
      {}, timeoutMs);
  return out;
}

class Listener {
 public:
  explicit Listener(bool ipv6 = false, bool listen = true) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 a6{};
    sockaddr_in a4{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = ipv6 ? sizeof a6 : sizeof a4;
    if (fd_ < 0 || ::bind(fd_, addr, len) != 0 || (listen && ::listen(fd_, 16) != 0) ||
        ::getsockname(fd_, addr, &len) != 0) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      return;
    }
    port_ = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }

  // A connection already completed by the kernel (the client side may not have seen it yet).
  int acceptOne(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Reads exactly n bytes or until EOF / time-out.
inline QByteArray ReadExactly(int fd, qsizetype n, int timeoutMs = 10000) {
  QByteArray out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) break;
    char buf[65536];
    const ssize_t got = ::recv(fd, buf, std::min<qsizetype>(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, got);
  }
  return out;
}

// True when the peer closed (EOF) within the time.
inline bool SeesEof(int fd, int timeoutMs = 10000) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

inline bool WriteAll(int fd, const QByteArray& data) {
  qsizetype off = 0;
  while (off < data.size()) {
    const ssize_t n = ::send(fd, data.constData() + off, data.size() - off, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += n;
  }
  return true;
}

}  // namespace socktest
