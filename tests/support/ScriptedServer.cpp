#include "ScriptedServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vrltest {

QByteArray Scenario::dotStuff(const QByteArray& body) {
  QByteArray out;
  for (qsizetype p = 0; p < body.size();) {
    const qsizetype nl = body.indexOf('\n', p);
    const qsizetype end = nl < 0 ? body.size() : nl + 1;
    if (body[p] == '.') out += '.';
    out += QByteArrayView(body).sliced(p, end - p);
    p = end;
  }
  if (!out.isEmpty() && !out.endsWith("\r\n")) out += "\r\n";
  return out + ".\r\n";
}

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::lock_guard<std::mutex>;
using K = Scenario::Step::Kind;

// Bytes as a readable, bounded text for error messages.
QString printable(const QByteArray& bytes, qsizetype max = 160) {
  QString out = QStringLiteral("\"");
  for (const char ch : bytes.left(max)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') out += QLatin1String(c == '\r' ? "\\r" : "\\n");
    else if (c == '\\' || c == '"') out.append(QLatin1Char('\\')).append(QLatin1Char(ch));
    else if (c < 32 || c >= 127) out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    else out += QLatin1Char(ch);
  }
  out += QLatin1Char('"');
  return bytes.size() > max ? out + QStringLiteral("... (%1 bytes)").arg(bytes.size()) : out;
}

QString describe(const Scenario::Step& s) {
  static const char* const kNames[] = {"send",  "sendSplit", "expect",      "expectPrefix", "readUntilDot",
                                       "delay", "close",     "expectClose", "reset"};
  if (s.kind == K::Delay) return QStringLiteral("delay %1 ms").arg(s.delayMs);
  const QString name = QLatin1String(kNames[s.kind]);
  return s.bytes.isEmpty() ? name : name + QLatin1Char(' ') + printable(s.bytes, s.kind <= K::SendSplit ? 60 : 160);
}

QString errnoText(int e) { return QString::fromLocal8Bit(std::strerror(e)); }

enum class Io { Ready, Timeout, Stopped, Failed };

// Waits for `events` on fd (none when fd < 0: a pause) or for the stop pipe, at most until the
// deadline. Once the server stops, the pipe stays readable, so every later wait ends at once.
Io waitFd(int fd, short events, int wakeFd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return Io::Timeout;
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(std::min<long long>(left + 1, 60000))) < 0 && errno != EINTR)
      return Io::Failed;
    if (fds[1].revents) return Io::Stopped;
    if (fd >= 0 && fds[0].revents) return Io::Ready;
  }
}

// Everything the server thread and the test thread share.
struct Core {
  std::vector<Scenario> scenarios;
  int ioTimeoutMs = 10000, listenFd = -1, wake[2] = {-1, -1};
  uint16_t port = 0;
  std::thread thread;

  mutable std::mutex mutex;
  std::condition_variable doneCv;
  bool done = false;
  QStringList errors;
  std::vector<QByteArray> received;
  std::vector<std::vector<QByteArray>> data;
  int accepted = 0;
  int running = -1;     // the connection whose scenario runs, or -1
  int runningStep = 0;  // its current step

  ~Core() {
    for (int fd : {listenFd, wake[0], wake[1]})
      if (fd >= 0) ::close(fd);
  }
  void run();
  void addError(const QString& text) {
    Lock lock(mutex);
    errors << text;
  }
};

// One accepted connection running its scenario.
class Session {
 public:
  Session(Core& server, int index, int fd) : s_(server), index_(index), fd_(fd) {}
  ~Session() { closeFd(); }

  void run() {
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto& steps = s_.scenarios[static_cast<size_t>(index_)].steps();
    for (step_ = 0; step_ < static_cast<int>(steps.size()); ++step_) {
      cur_ = &steps[static_cast<size_t>(step_)];
      {
        Lock lock(s_.mutex);
        s_.runningStep = step_;
      }
      if (fd_ < 0) {
        fail(QStringLiteral("the script goes on after the connection was closed"));
        return;
      }
      if (!runStep(*cur_)) {
        // After a mismatch the rest of the script means nothing; an abortive close tells the
        // client at once.
        if (!stopped_) dropAbortively();
        return;
      }
      if (pos_ == in_.size() || pos_ > 1024 * 1024) {  // the buffer must not grow over a long dialogue
        in_.remove(0, pos_);
        pos_ = 0;
      }
    }
    drain();  // the script ended without a close step: end the connection in order
  }

 private:
  Clock::time_point deadline() const { return Clock::now() + std::chrono::milliseconds(s_.ioTimeoutMs); }
  bool fail(const QString& why) {
    s_.addError(QStringLiteral("connection %1, step %2 (%3): %4").arg(index_).arg(step_).arg(describe(*cur_), why));
    return false;
  }
  void closeFd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void dropAbortively() {
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    closeFd();
  }
  void record(const char* p, qsizetype n) {
    Lock lock(s_.mutex);
    s_.received[static_cast<size_t>(index_)].append(p, n);
  }
  // Takes in what the client already sent, so that received() holds it and the close is orderly
  // (closing with unread bytes would make the kernel send a reset).
  void drain() {
    char buf[64 * 1024];
    ssize_t n = 1;
    for (int i = 0; i < 256 && fd_ >= 0 && (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0; ++i) record(buf, n);
  }

  // Appends what the client sends next to in_. False when nothing came: the error is recorded,
  // unless the server stops or (with `ended`) the client closed or reset, which sets *ended.
  bool readMore(Clock::time_point until, const QString& waitingFor, bool* ended = nullptr) {
    for (;;) {
      const Io io = waitFd(fd_, POLLIN, s_.wake[0], until);
      if (io == Io::Stopped) return !(stopped_ = true);
      QString why = io == Io::Timeout ? QStringLiteral("no %1 within %2 ms").arg(waitingFor).arg(s_.ioTimeoutMs)
                                      : QStringLiteral("poll failed: ") + errnoText(errno);
      if (io == Io::Ready) {
        char buf[64 * 1024];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        const int e = errno;
        if (n > 0) {
          in_.append(buf, n);
          record(buf, n);
          return true;
        }
        if (n < 0 && (e == EINTR || e == EAGAIN)) continue;
        if (ended && (n == 0 || e == ECONNRESET)) return !(*ended = true);
        why = n == 0         ? QStringLiteral("the client closed the connection before ") + waitingFor
              : e == ECONNRESET ? QStringLiteral("the client reset the connection before ") + waitingFor
                                : QStringLiteral("read failed: ") + errnoText(e);
      }
      const QByteArray had = in_.mid(pos_).right(160);
      return fail(had.isEmpty() ? why : why + QStringLiteral(" (had ") + printable(had) + QLatin1Char(')'));
    }
  }

  // One line up to CR LF; the step's deadline covers the whole line.
  bool readLine(QByteArray& line) {
    for (const auto until = deadline();;) {
      if (const qsizetype nl = in_.indexOf('\n', pos_); nl >= 0) {
        line = in_.mid(pos_, nl - pos_);
        pos_ = nl + 1;
        if (!line.endsWith('\r')) return fail(QStringLiteral("line ends with a bare LF: ") + printable(line + '\n'));
        line.chop(1);
        return true;
      }
      if (!readMore(until, QStringLiteral("complete line"))) return false;
    }
  }

  // A body up to the line "."; the time-out counts silence, so a large body may take long.
  bool readBody() {
    in_.remove(0, pos_);
    pos_ = 0;
    for (qsizetype scan = 0;;) {
      const qsizetype end = in_.startsWith(".\r\n") ? -2 : in_.indexOf(QByteArrayView("\r\n.\r\n"), scan);
      if (end != -1) {
        Lock lock(s_.mutex);
        s_.data[static_cast<size_t>(index_)].push_back(in_.left(end + 2));
        pos_ = end + 5;
        return true;
      }
      scan = std::max<qsizetype>(0, in_.size() - 4);  // the end mark may straddle two reads
      if (!readMore(deadline(), QStringLiteral("line \".\" ending the data"))) return false;
    }
  }

  // Sends everything, coping with partial writes; the time-out counts lack of progress.
  bool sendAll(const char* p, qsizetype n) {
    for (qsizetype done = 0; done < n;) {
      const Io io = waitFd(fd_, POLLOUT, s_.wake[0], deadline());
      if (io == Io::Stopped) return !(stopped_ = true);
      if (io == Io::Timeout)
        return fail(QStringLiteral("the client read nothing for %1 ms; %2 of %3 bytes sent")
                        .arg(s_.ioTimeoutMs).arg(done).arg(n));
      const ssize_t w = io == Io::Ready ? ::send(fd_, p + done, static_cast<size_t>(n - done), MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
      if (w > 0) done += w;
      else if (io != Io::Ready || (errno != EINTR && errno != EAGAIN))
        return fail(QStringLiteral("send failed after %1 of %2 bytes: %3").arg(done).arg(n).arg(errnoText(errno)));
    }
    return true;
  }

  bool pause(int ms) {
    if (ms > 0 && waitFd(-1, 0, s_.wake[0], Clock::now() + std::chrono::milliseconds(ms)) == Io::Stopped) stopped_ = true;
    return !stopped_;
  }

  bool runStep(const Scenario::Step& step) {
    switch (step.kind) {
      case K::Send: return sendAll(step.bytes.constData(), step.bytes.size());
      case K::SendSplit: {
        std::vector<int> cuts = step.cuts;
        const int size = static_cast<int>(step.bytes.size());
        cuts.push_back(size);
        std::sort(cuts.begin(), cuts.end());
        for (int from = 0; const int c : cuts) {
          const int cut = std::clamp(c, from, size);  // out of range or repeated: no piece
          if (cut == from) continue;
          if ((from > 0 && !pause(step.delayMs)) || !sendAll(step.bytes.constData() + from, cut - from)) return false;
          from = cut;
        }
        return true;
      }
      case K::Expect:
      case K::ExpectPrefix: {
        QByteArray line;
        if (!readLine(line)) return false;
        return (step.kind == K::Expect ? line == step.bytes : line.startsWith(step.bytes)) ||
               fail(QStringLiteral("got ") + printable(line));
      }
      case K::ReadUntilDot: return readBody();
      case K::Delay: return pause(step.delayMs);
      case K::Close: drain(); closeFd(); return true;
      case K::Reset: dropAbortively(); return true;
      case K::ExpectClose: {
        bool ended = false;
        if (pos_ < in_.size() || readMore(deadline(), QStringLiteral("close by the client"), &ended))
          return fail(QStringLiteral("expected the client to close, got ") + printable(in_.mid(pos_)));
        closeFd();
        return ended;
      }
    }
    return false;
  }

  Core& s_;
  int index_;
  int fd_;
  int step_ = 0;
  const Scenario::Step* cur_ = nullptr;
  QByteArray in_;      // bytes read from the client
  qsizetype pos_ = 0;  // how much of in_ the steps have consumed
  bool stopped_ = false;
};

void Core::run() {
  const int count = static_cast<int>(scenarios.size());
  while (waitFd(listenFd, POLLIN, wake[0], Clock::now() + std::chrono::hours(24)) != Io::Stopped) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0 && (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED)) continue;
    if (fd < 0) return addError(QStringLiteral("accept failed: ") + errnoText(errno));
    int index;
    {
      Lock lock(mutex);
      index = accepted++;
      running = index < count ? index : -1;
      runningStep = 0;
      // Recorded before the close, so a client that sees the end can already find the error.
      if (index >= count)
        errors << QStringLiteral("connection %1: not in the script (%2 scenario(s)); closed at once").arg(index).arg(count);
    }
    if (index >= count) {
      ::close(fd);
      continue;
    }
    Session(*this, index, fd).run();
    {
      Lock lock(mutex);
      running = -1;
      done = done || index == count - 1;
    }
    doneCv.notify_all();
  }
}

}  // namespace

struct ScriptedServer::Impl : Core {};

ScriptedServer::ScriptedServer(std::vector<Scenario> scenarios, int ioTimeoutMs) : d_(std::make_unique<Impl>()) {
  d_->scenarios = std::move(scenarios);
  d_->ioTimeoutMs = ioTimeoutMs;
  d_->received.resize(d_->scenarios.size());
  d_->data.resize(d_->scenarios.size());
  d_->done = d_->scenarios.empty();
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  d_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (::pipe2(d_->wake, O_CLOEXEC | O_NONBLOCK) != 0 || d_->listenFd < 0 || ::bind(d_->listenFd, sa, len) != 0 ||
      ::listen(d_->listenFd, 16) != 0 || ::getsockname(d_->listenFd, sa, &len) != 0)
    throw std::runtime_error(std::string("ScriptedServer: cannot listen on 127.0.0.1: ") + std::strerror(errno));
  d_->port = ntohs(addr.sin_port);
  d_->thread = std::thread([core = d_.get()] { core->run(); });
}

ScriptedServer::~ScriptedServer() {
  [[maybe_unused]] const ssize_t w = ::write(d_->wake[1], "x", 1);
  d_->thread.join();
}

uint16_t ScriptedServer::port() const { return d_->port; }

bool ScriptedServer::waitDone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(d_->mutex);
  return d_->doneCv.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)), [this] { return d_->done; });
}

QStringList ScriptedServer::errors() const {
  Lock lock(d_->mutex);
  return d_->errors;
}

QByteArray ScriptedServer::received(int connection) const {
  Lock lock(d_->mutex);
  return static_cast<size_t>(connection) < d_->received.size() ? d_->received[static_cast<size_t>(connection)] : QByteArray();
}

std::vector<QByteArray> ScriptedServer::data(int connection) const {
  Lock lock(d_->mutex);
  return static_cast<size_t>(connection) < d_->data.size() ? d_->data[static_cast<size_t>(connection)] : std::vector<QByteArray>();
}

int ScriptedServer::connectionsAccepted() const {
  Lock lock(d_->mutex);
  return d_->accepted;
}

QString ScriptedServer::progress() const {
  Lock lock(d_->mutex);
  const int count = static_cast<int>(d_->scenarios.size());
  if (d_->done) return QStringLiteral("all %1 scenario(s) done").arg(count);
  if (d_->running < 0)
    return QStringLiteral("waiting for connection %1 of %2").arg(std::min(d_->accepted, count)).arg(count);
  const auto& steps = d_->scenarios[static_cast<size_t>(d_->running)].steps();
  const auto step = static_cast<size_t>(d_->runningStep);
  const QString where = step < steps.size() ? QStringLiteral("step %1 (%2)").arg(step).arg(describe(steps[step]))
                                            : QStringLiteral("closing");
  return QStringLiteral("connection %1 of %2, %3").arg(d_->running).arg(count).arg(where);
}

}  // namespace vrltest
