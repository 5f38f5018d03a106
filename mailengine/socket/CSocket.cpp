#include "socket/CSocket.h"

#include "socket/MSocketSupport.h"
#include "socket/SocketTransport.h"
#include "VrlError.h"

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <functional>
#include <cstring>
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

// Runs the lookup on a thread of its own, which signals the job's descriptor when done. The
// thread's closure is of this file alone: written inside CSocket::Impl, its type information
// would leave the library with the exported class. Throws std::system_error when no thread
// can start.
void ResolveDetached(std::shared_ptr<ResolveJob> job) {
  std::thread([j = std::move(job)]() mutable {
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
}

}  // namespace

struct CSocket::Impl {
  explicit Impl(CSocket* owner) : q(owner) {}

  CSocket* q;
  long state = sckClosed;
  long handle = -1;
  QString remoteHost;
  QString remoteHostIP;
  long remotePort = 0;
  long localPort = 0;
  QString localIP;
  QString localHostName;
  long bytesReceived = 0;
  std::function<void(long)> stateHook;
  int fd = -1;
  std::unique_ptr<QSocketNotifier> readN, writeN;
  std::unique_ptr<vrlsock::Transport> transport;      // of the live connection
  std::unique_ptr<vrlsock::Transport> nextTransport;  // for the next connection
  bool tcpConnected = false;  // the descriptor is connected (the handshake may still run)
  bool handshaking = false;
  bool handshakeFailed = false;  // the last failure came while the transport was being set up
  bool handshakeNeedsWrite = false;
  bool readNeedsWrite = false;

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
    handle = -1;
    ++generation;
    tcpConnected = handshaking = handshakeNeedsWrite = readNeedsWrite = false;
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
    handle = s;
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
      localIP = MSocketSupport::AddressToString(local);
      localPort = MSocketSupport::PortOf(local);
    }
    // The machine's own name: a reverse lookup here would block the event loop.
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0])
      localHostName = QString::fromLocal8Bit(name);
    else
      localHostName = localIP;
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
    if (state != sckClosing) q->setState(sckClosing);
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
      MSocketSupport::SetPort(a, static_cast<quint16>(remotePort));
      remoteHostIP = MSocketSupport::AddressToString(a);
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
      if (state != sckConnecting) q->setState(sckConnecting);
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
    j->host = remoteHost;
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
      ResolveDetached(std::move(j));
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
    remoteHostIP = MSocketSupport::AddressToString(addrs.front());
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
    handshakeFailed = false;
    setWatchWrite(false);
    pump();
  }

  void onReady(bool writable) {
    if (fd < 0) return;
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
        if (state != sckConnected) {
          q->setState(sckConnected);
          emit q->OnConnect();
          if (gone()) return;
        }
      } else {
        const QString text = transport->errorText();
        handshakeFailed = true;
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
      bytesReceived += got;
      // Every reply is acknowledged at once: a server whose next reply waits for that (its
      // Nagle's algorithm) would otherwise wait for the delayed acknowledgement, 40 ms, while we
      // wait for the reply. The kernel drops this mode by itself, so it is set after every read.
      if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      }
      emit q->OnDataArrival(static_cast<long>(std::min<qsizetype>(rxAvail(), LONG_MAX)));
      if (!guard || generation != gen) return;
    }
    if (err) {
      fail(err, "CSocket.RecvToBuffer", transport->errorText());
      return;
    }
    if (eof) peerClosed();
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


};

CSocket::CSocket(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>(this)) {}

CSocket::~CSocket() {
  d_->cancelResolution();
  d_->dropDescriptor();
}

void CSocket::setState(long state) {
  if (d_->state == state) return;
  d_->state = state;
  if (d_->stateHook) d_->stateHook(state);
}

void CSocket::Connect(const QString& remoteHost, long remotePort) {
  if (!remoteHost.isEmpty()) d_->remoteHost = remoteHost;
  if (remotePort >= 0) {
    if (remotePort > 65535) Raise(10022, "CSocket.Connect");
    d_->remotePort = remotePort;
  }
  if (d_->remoteHost.trimmed().isEmpty()) Raise(10049, "CSocket.Connect");

  switch (d_->state) {
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
  d_->bytesReceived = 0;
  d_->remoteHostIP.clear();

  SockAddr literal;
  if (MSocketSupport::ParseNumericHost(d_->remoteHost, &literal)) {
    d_->addrs.push_back(literal);
    d_->connectSource = "CSocket.Connect";
    d_->connectNext();
    return;
  }
  setState(sckResolvingHost);
  d_->startResolution();
}

void CSocket::SendData(const QByteArray& data) {
  switch (d_->state) {
    case sckConnected: break;
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
    if (d.tcpConnected && d.transport && d_->state == sckConnected) {
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

void CSocket::SetRemoteHost(const QString& host) { d_->remoteHost = host; }

void CSocket::SetRemotePort(long port) {
  if (port < 0 || port > 65535) Raise(10022, "CSocket.RemotePort");
  d_->remotePort = port;
}

long CSocket::State() const { return d_->state; }
bool CSocket::HandshakeFailed() const { return d_->handshakeFailed; }
long CSocket::SocketHandle() const { return d_->handle; }
QString CSocket::RemoteHost() const { return d_->remoteHost; }
QString CSocket::RemoteHostIP() const { return d_->remoteHostIP; }
long CSocket::RemotePort() const { return d_->remotePort; }
long CSocket::LocalPort() const { return d_->localPort; }
QString CSocket::LocalIP() const { return d_->localIP; }
QString CSocket::LocalHostName() const { return d_->localHostName; }
long CSocket::BytesReceived() const { return d_->bytesReceived; }
const vrlsock::Transport* CSocket::CurrentTransport() const { return d_->fd >= 0 ? d_->transport.get() : nullptr; }
void CSocket::SetStateObserver(std::function<void(long)> observer) { d_->stateHook = std::move(observer); }

long CSocket::BytesToSend() const { return static_cast<long>(std::min<qsizetype>(d_->txAvail(), LONG_MAX)); }

void CSocket::SetTransport(std::unique_ptr<vrlsock::Transport> transport) {
  Impl& d = *d_;
  if (!transport) {
    d.nextTransport.reset();  // the next connection is plain again
    return;
  }
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
  d.handshakeFailed = false;
  d.handshakeNeedsWrite = false;
  d.pump();
}
