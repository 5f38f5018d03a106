#include "ScriptedServer.h"

#include <QFile>

#include <algorithm>
#include <atomic>
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

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::lock_guard<std::mutex>;

constexpr qsizetype kChunk = 256 * 1024;

// Bytes as a readable, bounded text for error messages.
QString printable(const QByteArray& bytes, qsizetype max = 160) {
  QString out = QStringLiteral("\"");
  for (qsizetype i = 0; i < std::min(bytes.size(), max); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r': out += QLatin1String("\\r"); break;
      case '\n': out += QLatin1String("\\n"); break;
      case '\t': out += QLatin1String("\\t"); break;
      case '\\': out += QLatin1String("\\\\"); break;
      case '"': out += QLatin1String("\\\""); break;
      default: out += c < 32 || c >= 127 ? QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0')) : QString(QLatin1Char(c));
    }
  }
  out += QLatin1Char('"');
  if (bytes.size() > max) out += QStringLiteral("... (%1 bytes)").arg(bytes.size());
  return out;
}

QString describe(const Scenario::Step& s) {
  using K = Scenario::Step::Kind;
  static const char* const kNames[] = {"send",         "sendSplit", "expect", "expectPrefix",
                                       "expectAnyLine", "readUntilDot", "delay", "close",
                                       "expectClose",  "reset",     "sendFile"};
  const QString name = QLatin1String(kNames[s.kind]);
  switch (s.kind) {
    case K::Send:
    case K::SendSplit: return name + QLatin1Char(' ') + printable(s.bytes, 60);
    case K::Expect:
    case K::ExpectPrefix: return name + QLatin1Char(' ') + printable(s.bytes);
    case K::Delay: return QStringLiteral("delay %1 ms").arg(s.delayMs);
    case K::SendFile: return name + QLatin1Char(' ') + QString::fromUtf8(s.bytes);
    default: return name;
  }
}

QString errnoText(int e) { return QString::fromLocal8Bit(std::strerror(e)); }

// Applies f to every line of the text (the last one may lack its LF) and joins what it returns.
template <typename F>
QByteArray eachLine(const QByteArray& text, F f) {
  QByteArray out;
  out.reserve(text.size() + text.size() / 64 + 8);
  for (qsizetype p = 0; p < text.size();) {
    const qsizetype nl = text.indexOf('\n', p);
    const qsizetype end = nl < 0 ? text.size() : nl + 1;
    f(out, QByteArrayView(text).sliced(p, end - p));
    p = end;
  }
  return out;
}

}  // namespace

QByteArray Scenario::dotStuff(const QByteArray& body) {
  QByteArray out = eachLine(body, [](QByteArray& o, QByteArrayView l) {
    o.append(l.startsWith('.') ? "." : "").append(l);
  });
  if (!out.isEmpty() && !out.endsWith("\r\n")) out.append("\r\n");
  return out.append(".\r\n");
}

QByteArray Scenario::dotUnstuff(const QByteArray& wire) {
  return eachLine(wire, [](QByteArray& o, QByteArrayView l) { o.append(l.startsWith("..") ? l.sliced(1) : l); });
}

namespace {

enum class Io { Ready, Timeout, Stopped, Failed };

// Waits for `events` on fd or for the stop signal, at most until the deadline.
Io waitFd(int fd, short events, int wakeFd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return Io::Timeout;
    // poll() skips a negative fd, so a pure pause waits on the stop pipe alone.
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Io::Failed;
    if (fds[1].revents) return Io::Stopped;
    if (fd >= 0 && fds[0].revents) return Io::Ready;
    if (n == 0 && Clock::now() >= deadline) return Io::Timeout;
  }
}

// Everything the server thread and the test thread share.
struct ServerCore {
  std::vector<Scenario> scenarios;
  int ioTimeoutMs = 10000, listenFd = -1, wakeRead = -1, wakeWrite = -1;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  std::condition_variable doneCv;
  bool done = false;
  QStringList errors;
  std::vector<QByteArray> received;
  std::vector<std::vector<QByteArray>> data;
  int accepted = 0;
  int running = -1;     // the connection whose scenario runs, or -1
  int runningStep = 0;  // its current step

  void run();
  int acceptNext();
  void addError(const QString& text) {
    Lock lock(mutex);
    errors << text;
  }
};

// One accepted connection running its scenario.
class Session {
 public:
  Session(ServerCore& server, int index, int fd) : s_(server), index_(index), fd_(fd) {}
  ~Session() { closeFd(); }

 private:
  enum class Read { Data, Eof, Reset, Timeout, Stopped, Failed };

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

  // Records why a read brought nothing while waiting; false.
  bool failRead(Read r, const QString& waitingFor) {
    const QByteArray had = in_.mid(pos_);
    const QString tail =
        had.isEmpty() ? QString() : QStringLiteral(" (had ") + printable(had.right(160)) + QLatin1Char(')');
    switch (r) {
      case Read::Eof: return fail(QStringLiteral("the client closed the connection before ") + waitingFor + tail);
      case Read::Reset: return fail(QStringLiteral("the client reset the connection before ") + waitingFor + tail);
      case Read::Timeout:
        return fail(QStringLiteral("no ") + waitingFor + QStringLiteral(" within %1 ms").arg(s_.ioTimeoutMs) + tail);
      case Read::Failed: return fail(QStringLiteral("read failed: ") + errnoText(readErrno_));
      default: return false;
    }
  }

  Read readMore(Clock::time_point until) {
    for (;;) {
      const Io io = waitFd(fd_, POLLIN, s_.wakeRead, until);
      if (io == Io::Failed) readErrno_ = errno;
      if (io == Io::Stopped) stopped_ = true;
      if (io != Io::Ready) return io == Io::Stopped ? Read::Stopped : io == Io::Timeout ? Read::Timeout : Read::Failed;
      char buf[64 * 1024];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, n);
        record(buf, n);
        return Read::Data;
      }
      if (n == 0) return Read::Eof;
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      if (errno == ECONNRESET) return Read::Reset;
      readErrno_ = errno;
      return Read::Failed;
    }
  }

  // One line up to CR LF; the step's deadline covers the whole line.
  bool readLine(QByteArray& line) {
    const auto until = deadline();
    for (qsizetype scan = pos_;;) {
      const qsizetype nl = in_.indexOf('\n', scan);
      if (nl >= 0) {
        line = in_.mid(pos_, nl - pos_);
        pos_ = nl + 1;
        if (!line.endsWith('\r')) return fail(QStringLiteral("line ends with a bare LF: ") + printable(line + '\n'));
        line.chop(1);
        return true;
      }
      scan = in_.size();
      if (const Read r = readMore(until); r != Read::Data) return failRead(r, QStringLiteral("complete line"));
    }
  }

  // A body up to the line "."; the time-out counts silence, so a large body may take long.
  bool readBody() {
    in_.remove(0, pos_);
    pos_ = 0;
    for (qsizetype scan = 0;;) {
      const qsizetype end = in_.startsWith(".\r\n") ? -2 : in_.indexOf(QByteArrayView("\r\n.\r\n"), scan);
      if (end != -1) {
        {
          Lock lock(s_.mutex);
          s_.data[static_cast<size_t>(index_)].push_back(in_.left(end + 2));
        }
        in_.remove(0, end + 5);
        return true;
      }
      scan = std::max<qsizetype>(0, in_.size() - 4);  // the end mark may straddle two reads
      if (const Read r = readMore(deadline()); r != Read::Data)
        return failRead(r, QStringLiteral("line \".\" ending the data"));
    }
  }

  // Sends everything, coping with partial writes; the time-out counts lack of progress.
  bool sendAll(const char* p, qsizetype n) {
    for (qsizetype done = 0; done < n;) {
      const Io io = waitFd(fd_, POLLOUT, s_.wakeRead, deadline());
      if (io == Io::Stopped) return !(stopped_ = true);
      if (io == Io::Timeout)
        return fail(QStringLiteral("the client read nothing for %1 ms; %2 of %3 bytes sent")
                        .arg(s_.ioTimeoutMs)
                        .arg(done)
                        .arg(n));
      if (io == Io::Failed) return fail(QStringLiteral("poll failed: ") + errnoText(errno));
      const size_t piece = static_cast<size_t>(std::min(n - done, kChunk));
      const ssize_t w = ::send(fd_, p + done, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0)
        done += w;
      else if (w == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
        return fail(QStringLiteral("send failed after %1 of %2 bytes: %3").arg(done).arg(n).arg(errnoText(errno)));
    }
    return true;
  }

  bool pause(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    if (ms > 0 && waitFd(-1, 0, s_.wakeRead, until) == Io::Stopped) stopped_ = true;
    return !stopped_;
  }

  // Takes in what the client already sent, so that received() holds it and the close is orderly
  // (closing with unread bytes would make the kernel send a reset).
  void drain() {
    char buf[64 * 1024];
    ssize_t n = 1;
    for (int i = 0; i < 256 && (n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0; ++i) record(buf, n);
  }

  bool expectClose() {
    const qsizetype before = pos_;
    const Read r = pos_ < in_.size() ? Read::Data : readMore(deadline());
    if (r == Read::Eof || r == Read::Reset) return true;
    if (r == Read::Data) return fail(QStringLiteral("expected the client to close, got ") + printable(in_.mid(before)));
    return failRead(r, QStringLiteral("close by the client"));
  }

  bool runStep(const Scenario::Step& step) {
    using K = Scenario::Step::Kind;
    switch (step.kind) {
      case K::Send: return sendAll(step.bytes.constData(), step.bytes.size());
      case K::SendSplit: {
        std::vector<int> cuts;
        for (int c : step.cuts)
          if (c > 0 && c < step.bytes.size()) cuts.push_back(c);
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        cuts.push_back(static_cast<int>(step.bytes.size()));
        for (size_t i = 0; i < cuts.size(); ++i) {
          const int from = i > 0 ? cuts[i - 1] : 0;
          if ((i > 0 && !pause(step.delayMs)) || !sendAll(step.bytes.constData() + from, cuts[i] - from)) return false;
        }
        return true;
      }
      case K::SendFile: {
        QFile file(QString::fromUtf8(step.bytes));
        if (!file.open(QIODevice::ReadOnly)) return fail(QStringLiteral("cannot open the file: ") + file.errorString());
        QByteArray chunk(kChunk, Qt::Uninitialized);
        for (qint64 n; (n = file.read(chunk.data(), chunk.size())) != 0;) {
          if (n < 0) return fail(QStringLiteral("cannot read the file: ") + file.errorString());
          if (!sendAll(chunk.constData(), n)) return false;
        }
        return true;
      }
      case K::Expect:
      case K::ExpectPrefix:
      case K::ExpectAnyLine: {
        QByteArray line;
        if (!readLine(line)) return false;
        const bool ok = step.kind == K::ExpectAnyLine ||
                        (step.kind == K::Expect ? line == step.bytes : line.startsWith(step.bytes));
        return ok || fail(QStringLiteral("got ") + printable(line));
      }
      case K::ReadUntilDot: return readBody();
      case K::Delay: return pause(step.delayMs);
      case K::Close:
        drain();
        closeFd();
        return true;
      case K::Reset:
        dropAbortively();
        return true;
      case K::ExpectClose: {
        const bool ok = expectClose();
        closeFd();
        return ok;
      }
    }
    return false;
  }

 public:
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
      if (!runStep(*cur_)) {
        // After a mismatch the rest of the script means nothing; an abortive close tells the
        // client at once.
        if (!stopped_ && fd_ >= 0) dropAbortively();
        return;
      }
      if (fd_ < 0) {
        if (++step_ < static_cast<int>(steps.size())) {
          cur_ = &steps[static_cast<size_t>(step_)];
          fail(QStringLiteral("the script goes on after the connection was closed"));
        }
        return;
      }
      // Keep the buffer from growing across steps of a long dialogue.
      if (pos_ > 0 && (pos_ == in_.size() || pos_ > 1024 * 1024)) {
        in_.remove(0, pos_);
        pos_ = 0;
      }
    }
    drain();  // the script ended without a close step: end the connection in order
  }

 private:
  ServerCore& s_;
  int index_;
  int fd_;
  int step_ = 0;
  const Scenario::Step* cur_ = nullptr;
  QByteArray in_;      // bytes read from the client
  qsizetype pos_ = 0;  // how much of in_ the steps have consumed
  bool stopped_ = false;
  int readErrno_ = 0;  // why the last read failed
};

int ServerCore::acceptNext() {
  for (;;) {
    const Io io = waitFd(listenFd, POLLIN, wakeRead, Clock::now() + std::chrono::hours(24));
    if (io == Io::Stopped) return -1;
    if (io != Io::Ready) continue;
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) return fd;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
    addError(QStringLiteral("accept failed: ") + errnoText(errno));
    return -1;
  }
}

void ServerCore::run() {
  const int count = static_cast<int>(scenarios.size());
  for (int fd; (fd = acceptNext()) >= 0;) {
    int index;
    {
      Lock lock(mutex);
      index = accepted++;
      running = index < count ? index : -1;
      runningStep = 0;
    }
    if (index >= count) {
      // Recorded before the close, so a client that sees the end can already find the error.
      addError(QStringLiteral("connection %1: not in the script (%2 scenario(s)); closed at once")
                   .arg(index)
                   .arg(count));
      ::close(fd);
      continue;
    }
    Session(*this, index, fd).run();
    {
      Lock lock(mutex);
      running = -1;
      if (index == count - 1 && !stopping) done = true;
    }
    if (stopping) break;
    doneCv.notify_all();
  }
  doneCv.notify_all();
}

}  // namespace

struct ScriptedServer::Impl : ServerCore {
  std::thread thread;
};

ScriptedServer::ScriptedServer(std::vector<Scenario> scenarios, int ioTimeoutMs) : d_(std::make_unique<Impl>()) {
  d_->scenarios = std::move(scenarios);
  d_->ioTimeoutMs = ioTimeoutMs;
  d_->received.resize(d_->scenarios.size());
  d_->data.resize(d_->scenarios.size());
  d_->done = d_->scenarios.empty();
  const auto failed = [](const char* what, int e) {
    return std::runtime_error(std::string("ScriptedServer: ") + what + ": " + std::strerror(e));
  };
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) throw failed("pipe", errno);
  d_->wakeRead = pipeFds[0];
  d_->wakeWrite = pipeFds[1];
  d_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  ::setsockopt(d_->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (d_->listenFd < 0 || ::bind(d_->listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(d_->listenFd, 16) != 0 || ::getsockname(d_->listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int e = errno;
    for (int fd : {d_->listenFd, d_->wakeRead, d_->wakeWrite})
      if (fd >= 0) ::close(fd);
    throw failed("listen on 127.0.0.1", e);
  }
  d_->port = ntohs(addr.sin_port);
  d_->thread = std::thread([impl = d_.get()] { impl->run(); });
}

ScriptedServer::~ScriptedServer() {
  d_->stopping = true;
  const char byte = 'x';
  [[maybe_unused]] const ssize_t w = ::write(d_->wakeWrite, &byte, 1);
  if (d_->thread.joinable()) d_->thread.join();
  for (int fd : {d_->listenFd, d_->wakeRead, d_->wakeWrite}) ::close(fd);
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
  const auto i = static_cast<size_t>(connection);
  return connection >= 0 && i < d_->received.size() ? d_->received[i] : QByteArray();
}

std::vector<QByteArray> ScriptedServer::data(int connection) const {
  Lock lock(d_->mutex);
  const auto i = static_cast<size_t>(connection);
  return connection >= 0 && i < d_->data.size() ? d_->data[i] : std::vector<QByteArray>();
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
