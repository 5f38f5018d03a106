// The transport seam of CSocket with a stand-in for what a TLS library does but the real one
// cannot be made to do on demand: a read that needs a write first, and a refused write that must
// be repeated with the same length.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>
#include <utility>

#include "LoopbackPeer.h"
#include "socket/SocketTransport.h"

using socktest::SocketPair;
using socktest::WaitFor;
using vrlsock::IoResult;

namespace {

class StrictTransport : public vrlsock::Transport {
 public:
  explicit StrictTransport(bool holdFirstRead) : hold_(holdFirstRead) {}
  void attach(int fd) override { fd_ = fd; }
  IoResult handshake() override { return IoResult::done(); }
  IoResult read(char* buf, long n) override {
    if (!held_.isEmpty()) {
      const long k = std::min<long>(n, held_.size());
      std::copy_n(held_.constData(), k, buf);
      held_.remove(0, k);
      return IoResult::done(k);
    }
    const ssize_t got = ::recv(fd_, buf, n, 0);
    if (got <= 0) return got == 0 ? IoResult::closed() : errno == EAGAIN ? blocked(true) : IoResult::failed(10054);
    if (!std::exchange(hold_, false)) return IoResult::done(got);
    held_ = QByteArray(buf, got);  // like a renegotiation: the record waits until a write went out
    return blocked(false);
  }
  IoResult write(const char* buf, long n) override {
    if (refused_ > 0 && n != refused_) ++violations;
    refused_ = 0;
    const ssize_t put = ::send(fd_, buf, std::min(n, 16 * 1024L), MSG_NOSIGNAL);  // record-sized
    if (put >= 0) return IoResult::done(put);
    if (errno != EAGAIN) return IoResult::failed(10054);
    refused_ = n;
    ++refusals;
    return blocked(false);
  }
  bool wantsRead() const override { return wantRead_; }
  bool wantsWrite() const override { return !wantRead_; }
  void shutdown() override { ::shutdown(fd_, SHUT_WR); }

  int refusals = 0, violations = 0;

 private:
  IoResult blocked(bool read) {
    wantRead_ = read;
    return IoResult::wouldBlock();
  }
  int fd_ = -1;
  bool hold_, wantRead_ = true;
  long refused_ = 0;  // the length of the write refused last
  QByteArray held_;
};

}  // namespace

TEST(CSocketTransport, AReadThatNeedsAWriteIsRetriedOnWritability) {
  SocketPair p;
  p.s.SetTransport(std::make_unique<StrictTransport>(true));
  ASSERT_NO_FATAL_FAILURE(p.connect());
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "+OK ready\r\n"));
  // The bytes left the descriptor into the transport; only a write readiness brings them out.
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 11; }, 5000));
  EXPECT_EQ(p.s.GetData(), "+OK ready\r\n");
}

TEST(CSocketTransport, RefusedWritesAreRepeatedWithTheSameLength) {
  SocketPair p;
  auto owned = std::make_unique<StrictTransport>(false);
  StrictTransport* t = owned.get();
  p.s.SetTransport(std::move(owned));
  ASSERT_NO_FATAL_FAILURE(p.connect());
  const int small = 64 * 1024;  // both kernel buffers fill quickly
  ::setsockopt(p.peer.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ::setsockopt(static_cast<int>(p.s.SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  QByteArray payload(4 * 1024 * 1024, '\0');
  for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = char(i % 253);
  // The first 1 MB is sent before the peer reads anything, so writes are refused on the way.
  p.s.SendData(payload.left(1024 * 1024));
  QByteArray peerGot;
  std::thread reader([fd = p.peer.fd, &peerGot, n = payload.size()] { peerGot = socktest::ReadExactly(fd, n, 30000); });
  for (qsizetype off = 1024 * 1024; off < payload.size(); off += 512 * 1024) {
    p.s.SendData(payload.mid(off, 512 * 1024));
    QCoreApplication::processEvents();
  }
  const bool sent = WaitFor([&] { return p.s.BytesToSend() == 0; }, 30000);
  reader.join();
  ASSERT_TRUE(sent);
  EXPECT_TRUE(peerGot == payload) << peerGot.size();
  EXPECT_GT(t->refusals, 0);
  EXPECT_EQ(t->violations, 0);
  EXPECT_FALSE(p.r.has("error"));
}
