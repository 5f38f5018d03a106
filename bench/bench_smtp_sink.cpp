// A fast fake SMTP server for the send benchmarks: accepts everything, keeps nothing. Listens on
// 127.0.0.1 (port 0 = any free one), prints "port: N" on its first line, serves any number of
// connections on one thread with poll(), and on SIGTERM/SIGINT prints what it took in.
//
// Understands EHLO/HELO (advertises AUTH LOGIN), AUTH LOGIN, MAIL, RCPT, DATA, RSET, NOOP, QUIT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Conn {
  int fd = -1;
  std::string in;       // unread input
  std::string out;      // unsent output
  bool data = false;    // inside DATA
  bool dataStart = false;  // nothing of the data read yet
  int authStep = 0;     // 1: user name expected, 2: password expected
  bool closing = false;
};

long long g_messages = 0, g_bytes = 0, g_connections = 0;

void Reply(Conn& c, const char* text) { c.out += text; }

bool StartsWithNoCase(const std::string& s, const char* p) { return strncasecmp(s.c_str(), p, std::strlen(p)) == 0; }

void Command(Conn& c, const std::string& line) {
  if (c.authStep == 1) {
    c.authStep = 2;
    Reply(c, "334 UGFzc3dvcmQ6\r\n");
  } else if (c.authStep == 2) {
    c.authStep = 0;
    Reply(c, "235 2.7.0 Authentication successful\r\n");
  } else if (StartsWithNoCase(line, "EHLO")) {
    Reply(c, "250-sink.localhost\r\n250-PIPELINING\r\n250-SIZE 104857600\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n");
  } else if (StartsWithNoCase(line, "HELO")) {
    Reply(c, "250 sink.localhost\r\n");
  } else if (StartsWithNoCase(line, "AUTH LOGIN")) {
    c.authStep = 1;
    Reply(c, "334 VXNlcm5hbWU6\r\n");
  } else if (StartsWithNoCase(line, "DATA")) {
    c.data = true;
    c.dataStart = true;
    Reply(c, "354 End data with <CR><LF>.<CR><LF>\r\n");
  } else if (StartsWithNoCase(line, "QUIT")) {
    Reply(c, "221 2.0.0 Bye\r\n");
    c.closing = true;
  } else if (StartsWithNoCase(line, "MAIL") || StartsWithNoCase(line, "RCPT") || StartsWithNoCase(line, "RSET") ||
             StartsWithNoCase(line, "NOOP")) {
    Reply(c, "250 2.0.0 Ok\r\n");
  } else {
    Reply(c, "502 5.5.2 Command not recognized\r\n");
  }
}

void Process(Conn& c) {
  size_t pos = 0;
  while (pos < c.in.size() && !c.closing) {
    if (c.data) {
      // The data ends with CR LF "." CR LF; the line "." can also be the first line.
      size_t end = std::string::npos;
      if (c.dataStart && c.in.size() - pos >= 3 && c.in.compare(pos, 3, ".\r\n") == 0) {
        end = pos;
      } else {
        const size_t at = c.in.find("\r\n.\r\n", pos);
        if (at != std::string::npos) end = at + 2;
      }
      if (end == std::string::npos) {
        // Keep only what could start the terminator.
        const size_t keep = std::min<size_t>(4, c.in.size() - pos);
        if (c.in.size() - pos >= 3) c.dataStart = false;
        g_bytes += static_cast<long long>(c.in.size() - pos - keep);
        pos = c.in.size() - keep;
        break;
      }
      g_bytes += static_cast<long long>(end - pos);
      pos = end + 3;
      c.data = false;
      ++g_messages;
      Reply(c, "250 2.0.0 Ok: queued\r\n");
      continue;
    }
    const size_t nl = c.in.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string line = c.in.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = nl + 1;
    Command(c, line);
  }
  c.in.erase(0, pos);
}

}  // namespace

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 0;
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 64) != 0) {
    std::perror("bench_smtp_sink: listen");
    return 1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("port: %d\n", ntohs(addr.sin_port));
  std::fflush(stdout);

  std::vector<Conn> conns;
  std::vector<char> buf(256 * 1024);
  while (!g_stop) {
    std::vector<pollfd> fds;
    fds.push_back({lfd, POLLIN, 0});
    for (const Conn& c : conns) fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
    if (::poll(fds.data(), fds.size(), 500) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      for (;;) {
        const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn c;
        c.fd = fd;
        c.out = "220 sink.localhost ESMTP\r\n";
        conns.push_back(std::move(c));
        ++g_connections;
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      Conn& c = conns[i - 1];
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::recv(c.fd, buf.data(), buf.size(), 0);
        if (n > 0) {
          c.in.append(buf.data(), static_cast<size_t>(n));
          Process(c);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          c.closing = true;
          c.out.clear();
        }
      }
      if (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) c.out.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR) c.out.clear();
      }
    }
    for (size_t i = 0; i < conns.size();) {
      if (conns[i].closing && conns[i].out.empty()) {
        ::close(conns[i].fd);
        conns.erase(conns.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (Conn& c : conns) ::close(c.fd);
  ::close(lfd);
  std::printf("sink_messages: %lld\nsink_bytes: %lld\nsink_connections: %lld\n", g_messages, g_bytes, g_connections);
  return 0;
}
