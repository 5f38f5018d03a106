#include "CSocket.h"

#include "MSocketSupport.h"
#include "SocketTransport.h"
#include "VrlError.h"

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace MSocketSupport::detail {
extern std::atomic<int> g_resolutionsInFlight;
}

using MSocketSupport::SockAddr;
using vrlsock::Io;
using vrlsock::IoResult;

namespace {

// One read readiness reads at most this much before the data is handed on, so that a fast
// peer cannot keep the event loop in one socket.
constexpr long kMaxReadPerWake = 8L * 1024 * 1024;
// One write hands at most this much to the transport.
constexpr long kMaxWriteChunk = 1024L * 1024;
// Consumed bytes at the front of a buffer are dropped once they are this many and at least
// half of the buffer, so taking data piecewise stays linear.
constexpr qsizetype kCompactMin = 64 * 1024;
// Above this capacity an emptied buffer gives its memory back.
constexpr qsizetype kKeepCapacity = 1024 * 1024;

constexpr int kWrongState = 40006;

[[noreturn]] void Raise(int number, const char* source) {
  const QString text = number == kWrongState
                           ? QStringLiteral("Wrong protocol or connection state for the requested transaction or request.")
                           : MSocketSupport::GetErrorDescription(number);
  throw vrl::VrlError(number, text, QString::fromLatin1(source));
}

// The result of one background name lookup. The event descriptor belongs to the job, so the
// resolving thread can always signal it, even after the socket that asked has gone.
struct ResolveJob {
  int efd = -1;
  QString host;
  std::atomic<bool> done{false};
  int error = 0;
  std::vector<SockAddr> addrs;
  ~ResolveJob() {
    if (efd >= 0) ::close(efd);
  }
};

// The request handle given to OnConnectionRequest that was adopted by Accept during the event.
long g_lastAccepted = -1;

}  // namespace

struct CSocket::Impl {
  explicit Impl(CSocket* owner) : q(owner) {}

  CSocket* q;
  int fd = -1;
  std::unique_ptr<QSocketNotifier> readN, writeN;
  std::unique_ptr<vrlsock::Transport> transport;      // of the live connection
  std::unique_ptr<vrlsock::Transport> nextTransport;  // for the next connection
  bool tcpConnected = false;  // the descriptor is connected (the handshake may still run)
  bool handshaking = false;
  bool handshakeNeedsWrite = false;
  bool readNeedsWrite = false;
  bool listening = false;

  QByteArray rx;
  qsizetype rxOff = 0;
  QByteArray tx;
  qsizetype txOff = 0;
  long blockedWriteLen = 0;  // a refused write is repeated with the same length
  bool sendInProgress = false;
  long recvBlock = 64 * 1024;

  std::vector<SockAddr> addrs;
  size_t nextAddr = 0;
  int lastConnectErrno = 0;
  const char* connectSource = "CSocket.Connect";

  std::shared_ptr<ResolveJob> job;
  std::unique_ptr<QSocketNotifier> jobN;

  quint64 generation = 0;  // changes whenever the descriptor goes away

  qsizetype rxAvail() const { return rx.size() - rxOff; }
  qsizetype txAvail() const { return tx.size() - txOff; }

  void dropDescriptor() {
    readN.reset();
    writeN.reset();
    transport.reset();
    if (fd >= 0) ::close(fd);
    fd = -1;
    q->handle_ = -1;
    ++generation;
    tcpConnected = handshaking = handshakeNeedsWrite = readNeedsWrite = listening = false;
    blockedWriteLen = 0;
  }

  void clearSend() {
    tx.clear();
    txOff = 0;
    blockedWriteLen = 0;
    sendInProgress = false;
  }

  void cancelResolution() {
    jobN.reset();
    job.reset();  // the resolving thread keeps its own reference
  }

  void adopt(int s) {
    fd = s;
    q->handle_ = s;
    int v = 0;
    socklen_t l = sizeof v;
    if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &v, &l) == 0 && v > 0)
      recvBlock = std::clamp<long>(v, 16 * 1024, 1024 * 1024);
  }

  void watchRead() {
    if (readN || fd < 0) return;
    readN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(readN.get(), &QSocketNotifier::activated, q, [this] { onReady(false); });
  }

  void setWatchWrite(bool on) {
    if (fd < 0) return;
    if (!writeN) {
      if (!on) return;
      writeN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
      QObject::connect(writeN.get(), &QSocketNotifier::activated, q, [this] { onReady(true); });
      return;
    }
    if (writeN->isEnabled() != on) writeN->setEnabled(on);
  }

  void updateNotifiers() {
    if (fd < 0 || !tcpConnected) return;
    watchRead();
    bool w = readNeedsWrite;
    if (handshaking)
      w = w || handshakeNeedsWrite;
    else
      w = w || txAvail() > 0 || sendInProgress;
    setWatchWrite(w);
  }

  void readLocalAddress() {
    SockAddr local;
    local.len = sizeof local.ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local.ss), &local.len) == 0) {
      q->localIP_ = MSocketSupport::AddressToString(local);
      q->localPort_ = MSocketSupport::PortOf(local);
    }
    // The machine's own name: a reverse lookup here would block the event loop.
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0])
      q->localHostName_ = QString::fromLocal8Bit(name);
    else
      q->localHostName_ = q->localIP_;
  }

  // Reports a failure of the connection: state 9, descriptor closed, OnError.
  void fail(int number, const char* source, const QString& text = QString()) {
    dropDescriptor();
    clearSend();
    q->setState(sckError);
    emit q->OnError(number, text.isEmpty() ? MSocketSupport::GetErrorDescription(number) : text,
                    QString::fromLatin1(source));
  }

  void peerClosed() {
    if (q->state_ != sckClosing) q->setState(sckClosing);
    clearSend();
    dropDescriptor();
    q->setState(sckClosed);
    emit q->OnClose();
  }

  // Creates the socket for the next address and starts connecting; reports the last failure
  // when no address is left.
  void connectNext() {
    while (nextAddr < addrs.size()) {
      SockAddr a = addrs[nextAddr++];
      MSocketSupport::SetPort(a, static_cast<quint16>(q->remotePort_));
      q->remoteHostIP_ = MSocketSupport::AddressToString(a);
      const int s = ::socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (s < 0) {
        lastConnectErrno = errno;
        continue;
      }
      // Mail dialogues are request and reply: a short last piece (the final "." of a message, a
      // command) must not wait for the peer's delayed acknowledgement.
      const int on = 1;
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      adopt(s);
      if (q->state_ != sckConnecting) q->setState(sckConnecting);
      const int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&a.ss), a.len);
      // EINTR: the connection goes on in the background, like EINPROGRESS.
      if (rc == 0 || errno == EINPROGRESS || errno == EINTR) {
        // Completion (or its failure) shows as writability; SO_ERROR tells which.
        setWatchWrite(true);
        return;
      }
      lastConnectErrno = errno;
      dropDescriptor();
    }
    const int err = lastConnectErrno ? lastConnectErrno : ECONNREFUSED;
    fail(MSocketSupport::ErrnoToWsa(err), connectSource);
  }

  void startResolution() {
    auto j = std::make_shared<ResolveJob>();
    j->host = q->remoteHost_;
    j->efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (j->efd < 0) {
      fail(MSocketSupport::ErrnoToWsa(errno), "CSocket.Connect");
      return;
    }
    job = j;
    jobN = std::make_unique<QSocketNotifier>(j->efd, QSocketNotifier::Read);
    QObject::connect(jobN.get(), &QSocketNotifier::activated, q, [this] { onResolved(); });
    ++MSocketSupport::detail::g_resolutionsInFlight;
    try {
      std::thread([j]() mutable {
        {
          std::shared_ptr<ResolveJob> mine = std::move(j);
          mine->error = MSocketSupport::ResolveHost(mine->host, AF_UNSPEC, &mine->addrs);
          mine->done.store(true, std::memory_order_release);
          const uint64_t one = 1;
          while (::write(mine->efd, &one, sizeof one) < 0 && errno == EINTR) {
          }
        }
        --MSocketSupport::detail::g_resolutionsInFlight;
      }).detach();
    } catch (const std::system_error&) {
      --MSocketSupport::detail::g_resolutionsInFlight;
      cancelResolution();
      fail(10055, "CSocket.Connect");
    }
  }

  void onResolved() {
    if (!job) return;
    uint64_t v = 0;
    while (::read(job->efd, &v, sizeof v) < 0 && errno == EINTR) {
    }
    if (!job->done.load(std::memory_order_acquire)) return;
    std::shared_ptr<ResolveJob> j = std::move(job);
    jobN.reset();
    if (j->error != 0) {
      fail(j->error, "CSocket.PostGetHostEvent");
      return;
    }
    addrs = std::move(j->addrs);
    nextAddr = 0;
    lastConnectErrno = 0;
    connectSource = "CSocket.PostGetHostEvent";
    q->remoteHostIP_ = MSocketSupport::AddressToString(addrs.front());
    q->setState(sckHostResolved);
    connectNext();
  }

  void onConnectReady() {
    int err = 0;
    socklen_t l = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0) err = errno;
    if (err == 0) {
      // Writable without an error but not connected: wait for the next notification.
      sockaddr_storage peer{};
      socklen_t pl = sizeof peer;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) {
        if (errno == ENOTCONN) return;
        err = errno;
      }
    }
    if (err != 0) {
      lastConnectErrno = err;
      dropDescriptor();
      connectNext();
      return;
    }
    tcpConnected = true;
    readLocalAddress();
    transport = nextTransport ? std::move(nextTransport) : std::make_unique<vrlsock::PlainTransport>();
    transport->attach(fd);
    handshaking = true;
    setWatchWrite(false);
    pump();
  }

  void onReady(bool writable) {
    if (fd < 0) return;
    if (listening) {
      acceptPending();
      return;
    }
    if (!tcpConnected) {
      if (writable) onConnectReady();
      return;
    }
    pump();
  }

  // Handshake, then read, then write, then the notifiers for what is still waiting.
  void pump() {
    QPointer<CSocket> guard(q);
    const quint64 gen = generation;
    auto gone = [&] { return !guard || generation != gen; };

    if (handshaking) {
      const IoResult r = transport->handshake();
      if (r.status == Io::WouldBlock) {
        handshakeNeedsWrite = transport->wantsWrite();
      } else if (r.status == Io::Done) {
        handshaking = handshakeNeedsWrite = false;
        if (q->state_ != sckConnected) {
          q->setState(sckConnected);
          emit q->OnConnect();
          if (gone()) return;
        }
      } else {
        const QString text = transport->errorText();
        fail(r.status == Io::Closed ? 10054 : r.error, "CSocket.Handshake", text);
        return;
      }
    }
    if (!handshaking) {
      readPhase();
      if (gone()) return;
      const int err = writePhase();
      if (gone()) return;
      if (err) {
        fail(err, "CSocket.SendData", transport ? transport->errorText() : QString());
        return;
      }
      if (txAvail() == 0 && sendInProgress) {
        sendInProgress = false;
        emit q->OnSendComplete();
        if (gone()) return;
      }
    }
    updateNotifiers();
  }

  void readPhase() {
    if (q->protocol_ == sckUDPProtocol) {
      readDatagrams();
      return;
    }
    QPointer<CSocket> guard(q);
    const quint64 gen = generation;
    long got = 0;
    bool eof = false;
    int err = 0;
    readNeedsWrite = false;
    while (got < kMaxReadPerWake) {
      const long want = recvBlock;
      const qsizetype old = rx.size();
      if (rx.capacity() - old < want) rx.reserve(std::max<qsizetype>(old + want, rx.capacity() * 2));
      rx.resize(old + want);
      const IoResult r = transport->read(rx.data() + old, want);
      rx.resize(old + (r.status == Io::Done ? r.bytes : 0));
      if (r.status == Io::Done) {
        got += r.bytes;
        continue;
      }
      if (r.status == Io::WouldBlock) readNeedsWrite = transport->wantsWrite();
      if (r.status == Io::Closed) eof = true;
      if (r.status == Io::Failed) err = r.error;
      break;
    }
    if (got > 0) {
      q->bytesReceived_ += got;
      emit q->OnDataArrival(static_cast<long>(std::min<qsizetype>(rxAvail(), LONG_MAX)));
      if (!guard || generation != gen) return;
    }
    if (err) {
      fail(err, "CSocket.RecvToBuffer", transport->errorText());
      return;
    }
    if (eof) peerClosed();
  }

  void readDatagrams() {
    QPointer<CSocket> guard(q);
    const quint64 gen = generation;
    char buf[65536];
    for (;;) {
      SockAddr from;
      from.len = sizeof from.ss;
      const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from.ss), &from.len);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // nothing more now; datagram errors (ICMP unreachable) are not fatal
      }
      rx.append(buf, n);
      q->bytesReceived_ += static_cast<long>(n);
      q->remoteHostIP_ = MSocketSupport::AddressToString(from);
      q->remotePort_ = MSocketSupport::PortOf(from);
      emit q->OnDataArrival(static_cast<long>(std::min<qsizetype>(rxAvail(), LONG_MAX)));
      if (!guard || generation != gen) return;
    }
  }

  // Hands the send buffer to the transport until it is empty or the transport is full. Returns
  // 0 or the socket error number of a failed write (the caller reports it).
  int writePhase() {
    if (!transport || handshaking) return 0;
    QPointer<CSocket> guard(q);
    const quint64 gen = generation;
    while (txAvail() > 0) {
      const long n = blockedWriteLen > 0 ? blockedWriteLen : static_cast<long>(std::min<qsizetype>(txAvail(), kMaxWriteChunk));
      const IoResult r = transport->write(tx.constData() + txOff, n);
      if (r.status == Io::Done && r.bytes > 0) {
        txOff += r.bytes;
        blockedWriteLen = 0;
        sendInProgress = true;
        compactTx();
        emit q->OnSendProgress(r.bytes, static_cast<long>(std::min<qsizetype>(txAvail(), LONG_MAX)));
        if (!guard || generation != gen) return 0;
        continue;
      }
      if (r.status == Io::Failed) return r.error ? r.error : 10107;
      blockedWriteLen = n;
      break;
    }
    return 0;
  }

  void compactTx() {
    if (txOff == tx.size()) {
      if (tx.capacity() > kKeepCapacity)
        tx.clear();
      else
        tx.resize(0);
      txOff = 0;
    } else if (txOff >= kCompactMin && txOff * 2 >= tx.size()) {
      tx.remove(0, txOff);
      txOff = 0;
    }
  }

  void acceptPending() {
    QPointer<CSocket> guard(q);
    const quint64 gen = generation;
    for (;;) {
      const int s = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (s < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      g_lastAccepted = -1;
      emit q->OnConnectionRequest(s);
      // A request nobody accepted during the event is refused.
      if (g_lastAccepted != s) ::close(s);
      if (!guard || generation != gen) return;
    }
  }

  void sendDatagram(const QByteArray& data) {
    SockAddr to;
    std::vector<SockAddr> found;
    const QString host = q->remoteHostIP_.isEmpty() ? q->remoteHost_ : q->remoteHostIP_;
    const int rc = MSocketSupport::ResolveHost(host, fd >= 0 ? udpFamily() : AF_UNSPEC, &found);
    if (rc != 0) Raise(rc, "CSocket.SendData");
    to = found.front();
    MSocketSupport::SetPort(to, static_cast<quint16>(q->remotePort_));
    if (fd < 0) openDatagram(to.family());
    if (q->remoteHost_.endsWith(QLatin1String(".255"))) {
      const int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    ssize_t n;
    do {
      n = ::sendto(fd, data.constData(), static_cast<size_t>(data.size()), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&to.ss), to.len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) Raise(MSocketSupport::ErrnoToWsa(errno), "CSocket.SendData");
    QPointer<CSocket> guard(q);
    emit q->OnSendProgress(static_cast<long>(n), 0);
    if (guard) emit q->OnSendComplete();
  }

  int udpFamily() const {
    sockaddr_storage ss{};
    socklen_t l = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &l) == 0) return ss.ss_family;
    return AF_INET;
  }

  void openDatagram(int family) {
    const int s = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) Raise(MSocketSupport::ErrnoToWsa(errno), "CSocket.vbSocket");
    adopt(s);
    readN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(readN.get(), &QSocketNotifier::activated, q, [this] { readDatagrams(); });
    q->setState(sckOpen);
  }
};

CSocket::CSocket(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>(this)) {}

CSocket::~CSocket() {
  d_->cancelResolution();
  d_->dropDescriptor();
}

void CSocket::setState(long state) {
  if (state_ == state) return;
  state_ = state;
  if (stateHook_) stateHook_(state);
}

void CSocket::Connect(const QString& remoteHost, long remotePort) {
  if (!remoteHost.isEmpty()) remoteHost_ = remoteHost;
  if (remotePort >= 0) {
    if (remotePort > 65535) Raise(10022, "CSocket.Connect");
    remotePort_ = remotePort;
  }
  if (remoteHost_.trimmed().isEmpty()) Raise(10049, "CSocket.Connect");

  switch (state_) {
    case sckConnected:
    case sckClosing: Raise(10056, "CSocket.Connect");
    case sckResolvingHost:
    case sckHostResolved:
    case sckConnecting: Raise(10037, "CSocket.Connect");
    default: break;
  }
  d_->cancelResolution();
  d_->dropDescriptor();
  d_->clearSend();
  d_->rx.clear();
  d_->rxOff = 0;
  d_->addrs.clear();
  d_->nextAddr = 0;
  d_->lastConnectErrno = 0;
  bytesReceived_ = 0;
  remoteHostIP_.clear();

  if (protocol_ == sckUDPProtocol) {
    // Datagrams have no connection: the socket opens and sends to the remote host.
    std::vector<SockAddr> found;
    const int rc = MSocketSupport::ResolveHost(remoteHost_, AF_UNSPEC, &found);
    if (rc != 0) Raise(rc, "CSocket.Connect");
    remoteHostIP_ = MSocketSupport::AddressToString(found.front());
    d_->openDatagram(found.front().family());
    return;
  }

  SockAddr literal;
  if (MSocketSupport::ParseNumericHost(remoteHost_, &literal)) {
    d_->addrs.push_back(literal);
    d_->connectSource = "CSocket.Connect";
    d_->connectNext();
    return;
  }
  setState(sckResolvingHost);
  d_->startResolution();
}

void CSocket::SendData(const QByteArray& data) {
  if (protocol_ == sckUDPProtocol) {
    if (remoteHost_.isEmpty() && remoteHostIP_.isEmpty()) Raise(10039, "CSocket.SendData");
    d_->sendDatagram(data);
    return;
  }
  switch (state_) {
    case sckConnected: break;
    case sckOpen:
    case sckListening:
    case sckResolvingHost:
    case sckHostResolved:
    case sckConnecting: Raise(10057, "CSocket.SendData");
    default: Raise(kWrongState, "CSocket.SendData");
  }
  if (data.isEmpty()) return;
  if (d_->txOff > 0 && d_->txOff == d_->tx.size()) d_->compactTx();
  d_->tx.append(data);
  if (d_->handshaking || d_->blockedWriteLen > 0) {
    d_->updateNotifiers();
    return;
  }
  QPointer<CSocket> guard(this);
  const quint64 gen = d_->generation;
  const int err = d_->writePhase();
  if (!guard || d_->generation != gen) return;
  if (err) {
    const QString text = d_->transport ? d_->transport->errorText() : QString();
    d_->dropDescriptor();
    d_->clearSend();
    setState(sckError);
    throw vrl::VrlError(err, text.isEmpty() ? MSocketSupport::GetErrorDescription(err) : text,
                        QStringLiteral("CSocket.SendData"));
  }
  d_->updateNotifiers();
}

QByteArray CSocket::GetData(long maxLen) {
  Impl& d = *d_;
  const qsizetype avail = d.rxAvail();
  const qsizetype n = (maxLen < 0 || maxLen > avail) ? avail : maxLen;
  if (n == 0) return QByteArray();
  if (d.rxOff == 0 && n == avail) {
    QByteArray out;
    out.swap(d.rx);
    return out;
  }
  QByteArray out(d.rx.constData() + d.rxOff, n);
  d.rxOff += n;
  if (d.rxOff == d.rx.size()) {
    if (d.rx.capacity() > kKeepCapacity)
      d.rx.clear();
    else
      d.rx.resize(0);
    d.rxOff = 0;
  } else if (d.rxOff >= kCompactMin && d.rxOff * 2 >= d.rx.size()) {
    d.rx.remove(0, d.rxOff);
    d.rxOff = 0;
  }
  return out;
}

QByteArray CSocket::PeekData(long maxLen) const {
  const Impl& d = *d_;
  const qsizetype avail = d.rxAvail();
  const qsizetype n = (maxLen < 0 || maxLen > avail) ? avail : maxLen;
  return QByteArray(d.rx.constData() + d.rxOff, n);
}

void CSocket::CloseSocket() {
  Impl& d = *d_;
  d.cancelResolution();
  if (d.fd >= 0) {
    if (d.tcpConnected && d.transport && state_ == sckConnected) {
      // What is still waiting goes out if the kernel takes it now; CloseSocket never blocks.
      if (!d.handshaking) {
        while (d.txAvail() > 0) {
          const long n = d.blockedWriteLen > 0 ? d.blockedWriteLen
                                               : static_cast<long>(std::min<qsizetype>(d.txAvail(), kMaxWriteChunk));
          const IoResult r = d.transport->write(d.tx.constData() + d.txOff, n);
          if (r.status != Io::Done || r.bytes <= 0) break;
          d.txOff += r.bytes;
          d.blockedWriteLen = 0;
        }
      }
      d.transport->shutdown();
      setState(sckClosing);
    }
    d.dropDescriptor();
  }
  d.clearSend();
  d.addrs.clear();
  d.nextAddr = 0;
  setState(sckClosed);
}

void CSocket::Bind(long localPort, const QString& localIP) {
  Impl& d = *d_;
  if (d.fd >= 0 || state_ != sckClosed) Raise(10022, "CSocket.Bind");
  if (localPort < 0 || localPort > 65535) Raise(10022, "CSocket.Bind");
  SockAddr a;
  if (localIP.isEmpty()) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.ss);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_ANY);
    a.len = sizeof(sockaddr_in);
  } else if (!MSocketSupport::ParseNumericHost(localIP, &a)) {
    Raise(10049, "CSocket.Bind");
  }
  MSocketSupport::SetPort(a, static_cast<quint16>(localPort));
  const int type = protocol_ == sckUDPProtocol ? SOCK_DGRAM : SOCK_STREAM;
  const int s = ::socket(a.family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) Raise(MSocketSupport::ErrnoToWsa(errno), "CSocket.Bind");
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a.ss), a.len) != 0) {
    const int err = errno;
    ::close(s);
    Raise(MSocketSupport::ErrnoToWsa(err), "CSocket.Bind");
  }
  d.adopt(s);
  d.readLocalAddress();
  if (protocol_ == sckUDPProtocol) {
    d.readN = std::make_unique<QSocketNotifier>(d.fd, QSocketNotifier::Read);
    QObject::connect(d.readN.get(), &QSocketNotifier::activated, this, [this] { d_->readDatagrams(); });
  }
  setState(sckOpen);
}

void CSocket::Listen() {
  Impl& d = *d_;
  if (protocol_ != sckTCPProtocol) Raise(10045, "CSocket.Listen");
  if (d.fd < 0) Bind(localPort_);
  if (state_ != sckOpen) Raise(10022, "CSocket.Listen");
  if (::listen(d.fd, 5) != 0) Raise(MSocketSupport::ErrnoToWsa(errno), "CSocket.Listen");
  d.listening = true;
  d.readN = std::make_unique<QSocketNotifier>(d.fd, QSocketNotifier::Read);
  QObject::connect(d.readN.get(), &QSocketNotifier::activated, this, [this] { d_->onReady(false); });
  setState(sckListening);
}

void CSocket::Accept(long requestID) {
  Impl& d = *d_;
  if (requestID < 0 || requestID > INT_MAX) Raise(10038, "CSocket.Accept");
  const int s = static_cast<int>(requestID);
  SockAddr peer;
  peer.len = sizeof peer.ss;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer.ss), &peer.len) != 0)
    Raise(MSocketSupport::ErrnoToWsa(errno), "CSocket.Accept");
  d.cancelResolution();
  d.dropDescriptor();
  d.clearSend();
  d.rx.clear();
  d.rxOff = 0;
  bytesReceived_ = 0;
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
  d.adopt(s);
  g_lastAccepted = s;
  remoteHostIP_ = MSocketSupport::AddressToString(peer);
  remotePort_ = MSocketSupport::PortOf(peer);
  d.readLocalAddress();
  d.tcpConnected = true;
  d.transport = d.nextTransport ? std::move(d.nextTransport) : std::make_unique<vrlsock::PlainTransport>();
  d.transport->attach(s);
  d.handshaking = true;
  setState(sckConnected);
  d.pump();
}

void CSocket::SetProtocol(long protocol) {
  if (protocol != sckTCPProtocol && protocol != sckUDPProtocol) Raise(10043, "CSocket.Protocol");
  if (state_ != sckClosed) Raise(kWrongState, "CSocket.Protocol");
  protocol_ = protocol;
}

void CSocket::SetRemoteHost(const QString& host) {
  remoteHost_ = host;
  // Datagrams go to the host set last, not to the sender of the last datagram received.
  if (protocol_ == sckUDPProtocol) remoteHostIP_.clear();
}

void CSocket::SetRemotePort(long port) {
  if (port < 0 || port > 65535) Raise(10022, "CSocket.RemotePort");
  remotePort_ = port;
}

void CSocket::SetLocalPort(long port) {
  if (port < 0 || port > 65535) Raise(10022, "CSocket.LocalPort");
  localPort_ = port;
}

long CSocket::BytesToSend() const { return static_cast<long>(std::min<qsizetype>(d_->txAvail(), LONG_MAX)); }

void CSocket::SetTransport(std::unique_ptr<vrlsock::Transport> transport) {
  Impl& d = *d_;
  if (!transport) return;
  if (!d.tcpConnected || d.fd < 0) {
    d.nextTransport = std::move(transport);  // serves the next connection
    return;
  }
  // In place on the live connection: what is already buffered stays; the handshake runs before
  // anything else is sent.
  d.transport = std::move(transport);
  d.transport->attach(d.fd);
  d.blockedWriteLen = 0;
  d.handshaking = true;
  d.handshakeNeedsWrite = false;
  d.pump();
}
