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

using SteadyClock = std::chrono::steady_clock;

constexpr qsizetype kChunk = 256 * 1024;

// Bytes as a readable, bounded text for error messages.
QString printable(const QByteArray& bytes, qsizetype max = 160) {
  QString out;
  out += QLatin1Char('"');
  const qsizetype n = std::min(bytes.size(), max);
  for (qsizetype i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r': out += QLatin1String("\\r"); break;
      case '\n': out += QLatin1String("\\n"); break;
      case '\t': out += QLatin1String("\\t"); break;
      case '\\': out += QLatin1String("\\\\"); break;
      case '"': out += QLatin1String("\\\""); break;
      default:
        if (c < 32 || c >= 127)
          out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        else
          out += QLatin1Char(static_cast<char>(c));
    }
  }
  out += QLatin1Char('"');
  if (bytes.size() > max) out += QStringLiteral("... (%1 bytes)").arg(bytes.size());
  return out;
}

QString describe(const Scenario::Step& s) {
  switch (s.kind) {
    case Scenario::Step::Send: return QStringLiteral("send ") + printable(s.bytes, 60);
    case Scenario::Step::SendSplit: return QStringLiteral("sendSplit ") + printable(s.bytes, 60);
    case Scenario::Step::Expect: return QStringLiteral("expect ") + printable(s.bytes);
    case Scenario::Step::ExpectPrefix: return QStringLiteral("expectPrefix ") + printable(s.bytes);
    case Scenario::Step::ExpectAnyLine: return QStringLiteral("expectAnyLine");
    case Scenario::Step::ReadUntilDot: return QStringLiteral("readUntilDot");
    case Scenario::Step::Delay: return QStringLiteral("delay %1 ms").arg(s.delayMs);
    case Scenario::Step::Close: return QStringLiteral("close");
    case Scenario::Step::ExpectClose: return QStringLiteral("expectClose");
    case Scenario::Step::Reset: return QStringLiteral("reset");
    case Scenario::Step::SendFile: return QStringLiteral("sendFile ") + QString::fromUtf8(s.bytes);
  }
  return QStringLiteral("unknown step");
}

QString errnoText(int e) { return QString::fromLocal8Bit(std::strerror(e)); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scenario

Scenario& Scenario::send(const QByteArray& bytes) {
  steps_.push_back({Step::Send, bytes, {}, 0});
  return *this;
}

Scenario& Scenario::reply(const QByteArray& line) { return send(line + "\r\n"); }

Scenario& Scenario::sendSplit(const QByteArray& bytes, std::vector<int> cuts, int pauseMs) {
  steps_.push_back({Step::SendSplit, bytes, std::move(cuts), pauseMs});
  return *this;
}

Scenario& Scenario::expect(const QByteArray& line) {
  steps_.push_back({Step::Expect, line, {}, 0});
  return *this;
}

Scenario& Scenario::expectPrefix(const QByteArray& prefix) {
  steps_.push_back({Step::ExpectPrefix, prefix, {}, 0});
  return *this;
}

Scenario& Scenario::expectAnyLine() {
  steps_.push_back({Step::ExpectAnyLine, {}, {}, 0});
  return *this;
}

Scenario& Scenario::readUntilDot() {
  steps_.push_back({Step::ReadUntilDot, {}, {}, 0});
  return *this;
}

Scenario& Scenario::delay(int ms) {
  steps_.push_back({Step::Delay, {}, {}, ms});
  return *this;
}

Scenario& Scenario::close() {
  steps_.push_back({Step::Close, {}, {}, 0});
  return *this;
}

Scenario& Scenario::expectClose() {
  steps_.push_back({Step::ExpectClose, {}, {}, 0});
  return *this;
}

Scenario& Scenario::reset() {
  steps_.push_back({Step::Reset, {}, {}, 0});
  return *this;
}

Scenario& Scenario::sendFile(const QString& path) {
  steps_.push_back({Step::SendFile, path.toUtf8(), {}, 0});
  return *this;
}

QByteArray Scenario::dotStuff(const QByteArray& body) {
  QByteArray out;
  out.reserve(body.size() + body.size() / 64 + 8);
  const char* p = body.constData();
  const char* end = p + body.size();
  while (p < end) {
    if (*p == '.') out.append('.');
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* lineEnd = nl ? nl + 1 : end;
    out.append(p, lineEnd - p);
    p = lineEnd;
  }
  if (!out.isEmpty() && !out.endsWith("\r\n")) out.append("\r\n");
  out.append(".\r\n");
  return out;
}

QByteArray Scenario::dotUnstuff(const QByteArray& wire) {
  QByteArray out;
  out.reserve(wire.size());
  const char* p = wire.constData();
  const char* end = p + wire.size();
  while (p < end) {
    if (end - p >= 2 && p[0] == '.' && p[1] == '.') ++p;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* lineEnd = nl ? nl + 1 : end;
    out.append(p, lineEnd - p);
    p = lineEnd;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Server

namespace {

enum class Io { Ready, Timeout, Stopped, Failed };

// Waits for `events` on fd or for the stop signal, at most until the deadline.
Io waitFd(int fd, short events, int wakeFd, SteadyClock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() < 0) return Io::Timeout;
    // poll() skips a negative fd, so a pure pause waits on the stop pipe alone.
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Io::Failed;
    }
    if (fds[1].revents) return Io::Stopped;
    if (fd >= 0 && fds[0].revents) return Io::Ready;
    if (n == 0 && SteadyClock::now() >= deadline) return Io::Timeout;
  }
}

// Everything the server thread and the test thread share.
struct ServerCore {
  std::vector<Scenario> scenarios;
  int ioTimeoutMs = 10000;
  int listenFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
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
  void runScenario(int index, int fd);
  void addError(const QString& text) {
    std::lock_guard<std::mutex> lock(mutex);
    errors << text;
  }
  void markDone() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    doneCv.notify_all();
  }
};

// One accepted connection running its scenario.
class Session {
 public:
  Session(ServerCore& server, int index, int fd) : s_(server), index_(index), fd_(fd) {}
  ~Session() { closeFd(); }

  void run();

 private:
  enum class Read { Data, Eof, Reset, Timeout, Stopped, Failed };

  SteadyClock::time_point deadline() const {
    return SteadyClock::now() + std::chrono::milliseconds(s_.ioTimeoutMs);
  }
  void fail(const QString& why) {
    s_.addError(QStringLiteral("connection %1, step %2 (%3): %4").arg(index_).arg(step_).arg(describe(*cur_), why));
  }
  void closeFd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  QByteArray pending() const { return in_.mid(pos_); }
  QString readFailure(Read r, const QString& waitingFor);

  Read readMore(SteadyClock::time_point until);
  bool readLine(QByteArray& line);
  bool readBody();
  bool sendAll(const char* p, qsizetype n);
  bool pause(int ms);
  void drain();
  bool expectClose();
  bool runStep(const Scenario::Step& step);

  ServerCore& s_;
  int index_;
  int fd_;
  int step_ = 0;
  const Scenario::Step* cur_ = nullptr;
  QByteArray in_;     // bytes read from the client
  qsizetype pos_ = 0;  // how much of in_ the steps have consumed
  bool stopped_ = false;
  int readErrno_ = 0;  // why the last read failed
};

QString Session::readFailure(Read r, const QString& waitingFor) {
  const QByteArray had = pending();
  const QString tail = had.isEmpty() ? QString() : QStringLiteral(" (had ") + printable(had.right(160)) + QLatin1Char(')');
  switch (r) {
    case Read::Eof: return QStringLiteral("the client closed the connection before ") + waitingFor + tail;
    case Read::Reset: return QStringLiteral("the client reset the connection before ") + waitingFor + tail;
    case Read::Timeout: return QStringLiteral("no ") + waitingFor + QStringLiteral(" within %1 ms").arg(s_.ioTimeoutMs) + tail;
    case Read::Stopped: return QStringLiteral("server stopped while waiting for ") + waitingFor;
    case Read::Failed: return QStringLiteral("read failed: ") + errnoText(readErrno_);
    case Read::Data: break;
  }
  return {};
}

Session::Read Session::readMore(SteadyClock::time_point until) {
  for (;;) {
    const Io io = waitFd(fd_, POLLIN, s_.wakeRead, until);
    if (io == Io::Stopped) {
      stopped_ = true;
      return Read::Stopped;
    }
    if (io == Io::Timeout) return Read::Timeout;
    if (io == Io::Failed) {
      readErrno_ = errno;
      return Read::Failed;
    }
    char buf[64 * 1024];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, n);
      std::lock_guard<std::mutex> lock(s_.mutex);
      s_.received[static_cast<size_t>(index_)].append(buf, n);
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
bool Session::readLine(QByteArray& line) {
  const auto until = deadline();
  qsizetype scan = pos_;
  for (;;) {
    const qsizetype nl = in_.indexOf('\n', scan);
    if (nl >= 0) {
      line = in_.mid(pos_, nl - pos_);
      pos_ = nl + 1;
      if (!line.endsWith('\r')) {
        fail(QStringLiteral("line ends with a bare LF: ") + printable(line + '\n'));
        return false;
      }
      line.chop(1);
      return true;
    }
    scan = in_.size();
    const Read r = readMore(until);
    if (r != Read::Data) {
      fail(readFailure(r, QStringLiteral("complete line")));
      return false;
    }
  }
}

// A body up to the line "."; the time-out counts silence, so a large body may take long.
bool Session::readBody() {
  // Start the buffer at the body, so that a large body can be handed over without a copy.
  if (pos_ > 0) {
    in_.remove(0, pos_);
    pos_ = 0;
  }
  qsizetype scan = 0;
  for (;;) {
    const qsizetype avail = in_.size() - pos_;
    if (avail >= 3 && in_.at(pos_) == '.' && in_.at(pos_ + 1) == '\r' && in_.at(pos_ + 2) == '\n') {
      std::lock_guard<std::mutex> lock(s_.mutex);
      s_.data[static_cast<size_t>(index_)].push_back(QByteArray());
      pos_ += 3;
      return true;
    }
    const qsizetype end = in_.indexOf(QByteArrayView("\r\n.\r\n"), scan);
    if (end >= 0) {
      QByteArray rest = in_.mid(end + 5);
      in_.truncate(end + 2);
      QByteArray body = std::move(in_);
      in_ = std::move(rest);
      pos_ = 0;
      std::lock_guard<std::mutex> lock(s_.mutex);
      s_.data[static_cast<size_t>(index_)].push_back(std::move(body));
      return true;
    }
    // The end mark may straddle two reads: look again from the last four bytes.
    scan = std::max(pos_, in_.size() - 4);
    const Read r = readMore(deadline());
    if (r != Read::Data) {
      fail(readFailure(r, QStringLiteral("line \".\" ending the data")));
      return false;
    }
  }
}

// Sends everything, coping with partial writes; the time-out counts lack of progress.
bool Session::sendAll(const char* p, qsizetype n) {
  qsizetype done = 0;
  while (done < n) {
    const Io io = waitFd(fd_, POLLOUT, s_.wakeRead, deadline());
    if (io == Io::Stopped) {
      stopped_ = true;
      return false;
    }
    if (io == Io::Timeout) {
      fail(QStringLiteral("the client read nothing for %1 ms; %2 of %3 bytes sent").arg(s_.ioTimeoutMs).arg(done).arg(n));
      return false;
    }
    if (io == Io::Failed) {
      fail(QStringLiteral("poll failed: ") + errnoText(errno));
      return false;
    }
    const ssize_t w = ::send(fd_, p + done, static_cast<size_t>(std::min(n - done, kChunk)), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      done += w;
      continue;
    }
    if (w < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    fail(QStringLiteral("send failed after %1 of %2 bytes: %3").arg(done).arg(n).arg(errnoText(errno)));
    return false;
  }
  return true;
}

bool Session::pause(int ms) {
  if (ms <= 0) return true;
  if (waitFd(-1, 0, s_.wakeRead, SteadyClock::now() + std::chrono::milliseconds(ms)) == Io::Stopped) {
    stopped_ = true;
    return false;
  }
  return true;
}

// Takes in what the client already sent, so that received() holds it and the close is orderly
// (closing with unread bytes would make the kernel send a reset).
void Session::drain() {
  char buf[64 * 1024];
  for (int i = 0; i < 256; ++i) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return;
    std::lock_guard<std::mutex> lock(s_.mutex);
    s_.received[static_cast<size_t>(index_)].append(buf, n);
  }
}

bool Session::expectClose() {
  if (pos_ < in_.size()) {
    fail(QStringLiteral("expected the client to close, got ") + printable(pending()));
    return false;
  }
  const auto until = deadline();
  const qsizetype before = in_.size();
  const Read r = readMore(until);
  switch (r) {
    case Read::Eof:
    case Read::Reset:
      return true;
    case Read::Data:
      fail(QStringLiteral("expected the client to close, got ") + printable(in_.mid(before)));
      return false;
    default:
      fail(readFailure(r, QStringLiteral("close by the client")));
      return false;
  }
}

bool Session::runStep(const Scenario::Step& step) {
  using K = Scenario::Step::Kind;
  switch (step.kind) {
    case K::Send:
      return sendAll(step.bytes.constData(), step.bytes.size());
    case K::SendSplit: {
      std::vector<int> cuts;
      for (int c : step.cuts)
        if (c > 0 && c < step.bytes.size()) cuts.push_back(c);
      std::sort(cuts.begin(), cuts.end());
      cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
      cuts.push_back(static_cast<int>(step.bytes.size()));
      int from = 0;
      for (size_t i = 0; i < cuts.size(); ++i) {
        if (i > 0 && !pause(step.delayMs)) return false;
        if (!sendAll(step.bytes.constData() + from, cuts[i] - from)) return false;
        from = cuts[i];
      }
      return true;
    }
    case K::SendFile: {
      QFile file(QString::fromUtf8(step.bytes));
      if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot open the file: ") + file.errorString());
        return false;
      }
      QByteArray chunk(kChunk, Qt::Uninitialized);
      for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
          fail(QStringLiteral("cannot read the file: ") + file.errorString());
          return false;
        }
        if (n == 0) return true;
        if (!sendAll(chunk.constData(), n)) return false;
      }
    }
    case K::Expect:
    case K::ExpectPrefix:
    case K::ExpectAnyLine: {
      QByteArray line;
      if (!readLine(line)) return false;
      const bool ok = step.kind == K::ExpectAnyLine ||
                      (step.kind == K::Expect ? line == step.bytes : line.startsWith(step.bytes));
      if (!ok) fail(QStringLiteral("got ") + printable(line));
      return ok;
    }
    case K::ReadUntilDot:
      return readBody();
    case K::Delay:
      return pause(step.delayMs);
    case K::Close:
      drain();
      closeFd();
      return true;
    case K::Reset: {
      linger lg{1, 0};
      ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      closeFd();
      return true;
    }
    case K::ExpectClose: {
      const bool ok = expectClose();
      closeFd();
      return ok;
    }
  }
  return false;
}

void Session::run() {
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const auto& steps = s_.scenarios[static_cast<size_t>(index_)].steps();
  for (step_ = 0; step_ < static_cast<int>(steps.size()); ++step_) {
    cur_ = &steps[static_cast<size_t>(step_)];
    {
      std::lock_guard<std::mutex> lock(s_.mutex);
      s_.runningStep = step_;
    }
    if (!runStep(*cur_)) {
      if (stopped_) return;
      // After a mismatch the rest of the script means nothing; an abortive close tells the
      // client at once.
      if (fd_ >= 0) {
        linger lg{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      }
      return;
    }
    if (fd_ < 0) {
      if (step_ + 1 < static_cast<int>(steps.size())) {
        ++step_;
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
  // The script ended without a close step: end the connection in order.
  drain();
}

int ServerCore::acceptNext() {
  for (;;) {
    const Io io = waitFd(listenFd, POLLIN, wakeRead, SteadyClock::now() + std::chrono::hours(24));
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
  for (;;) {
    const int fd = acceptNext();
    if (fd < 0) break;
    int index;
    {
      std::lock_guard<std::mutex> lock(mutex);
      index = accepted++;
    }
    if (index < count) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        running = index;
        runningStep = 0;
      }
      Session(*this, index, fd).run();
      {
        std::lock_guard<std::mutex> lock(mutex);
        running = -1;
      }
      if (stopping) break;
      if (index == count - 1) markDone();
    } else {
      // Recorded before the close, so a client that sees the end can already find the error.
      addError(QStringLiteral("connection %1: not in the script (%2 scenario(s)); closed at once").arg(index).arg(count));
      ::close(fd);
    }
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

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("ScriptedServer: pipe: ") + std::strerror(errno));
  d_->wakeRead = pipeFds[0];
  d_->wakeWrite = pipeFds[1];

  d_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (d_->listenFd < 0) throw std::runtime_error(std::string("ScriptedServer: socket: ") + std::strerror(errno));
  const int one = 1;
  ::setsockopt(d_->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(d_->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(d_->listenFd, 16) != 0 ||
      ::getsockname(d_->listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int e = errno;
    ::close(d_->listenFd);
    ::close(d_->wakeRead);
    ::close(d_->wakeWrite);
    throw std::runtime_error(std::string("ScriptedServer: listen on 127.0.0.1: ") + std::strerror(e));
  }
  d_->port = ntohs(addr.sin_port);
  d_->thread = std::thread([impl = d_.get()] { impl->run(); });
}

ScriptedServer::~ScriptedServer() {
  d_->stopping = true;
  const char byte = 'x';
  [[maybe_unused]] const ssize_t w = ::write(d_->wakeWrite, &byte, 1);
  if (d_->thread.joinable()) d_->thread.join();
  ::close(d_->listenFd);
  ::close(d_->wakeRead);
  ::close(d_->wakeWrite);
}

uint16_t ScriptedServer::port() const { return d_->port; }

bool ScriptedServer::waitDone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(d_->mutex);
  return d_->doneCv.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)), [this] { return d_->done; });
}

QStringList ScriptedServer::errors() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->errors;
}

QByteArray ScriptedServer::received(int connection) const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  if (connection < 0 || connection >= static_cast<int>(d_->received.size())) return {};
  return d_->received[static_cast<size_t>(connection)];
}

std::vector<QByteArray> ScriptedServer::data(int connection) const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  if (connection < 0 || connection >= static_cast<int>(d_->data.size())) return {};
  return d_->data[static_cast<size_t>(connection)];
}

QString ScriptedServer::progress() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  const int count = static_cast<int>(d_->scenarios.size());
  if (d_->done) return QStringLiteral("all %1 scenario(s) done").arg(count);
  if (d_->running >= 0) {
    const auto& steps = d_->scenarios[static_cast<size_t>(d_->running)].steps();
    const QString where = d_->runningStep < static_cast<int>(steps.size())
                              ? QStringLiteral("step %1 (%2)").arg(d_->runningStep).arg(describe(steps[static_cast<size_t>(d_->runningStep)]))
                              : QStringLiteral("closing");
    return QStringLiteral("connection %1 of %2, %3").arg(d_->running).arg(count).arg(where);
  }
  return QStringLiteral("waiting for connection %1 of %2").arg(std::min(d_->accepted, count)).arg(count);
}

int ScriptedServer::connectionsAccepted() const {
  std::lock_guard<std::mutex> lock(d_->mutex);
  return d_->accepted;
}

}  // namespace vrltest
