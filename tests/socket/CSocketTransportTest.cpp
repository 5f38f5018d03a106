// The transport seam of CSocket, exercised with a toy secure layer that behaves like a TLS
// library: an opening exchange, encoded bytes, a read that needs a write, and the rule that a
// refused write is repeated with the same length.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "socket/CSocket.h"
#include "SocketPair.h"
#include "socket/SocketTransport.h"

using socktest::SocketPair;
using socktest::WaitFor;
using vrlsock::IoResult;

namespace {

QByteArray Xor(QByteArray b) {
  for (auto& c : b) c = char(c ^ 0x5A);
  return b;
}

struct Stats {
  int retryViolations = 0;  // a refused write not repeated with the same length
  int blockedWrites = 0;
};

// Opening exchange: sends "HELLO\n", then waits for "OK\n". Afterwards every byte is XOR 0x5A.
class ToyTransport : public vrlsock::Transport {
 public:
  explicit ToyTransport(Stats* st, bool renegotiateOnce = false, long sendCap = 0)
      : st_(st), renegotiate_(renegotiateOnce), sendCap_(sendCap) {}
  void attach(int fd) override { fd_ = fd; }
  IoResult handshake() override {
    while (hello_.size() > 0) {
      const ssize_t n = ::send(fd_, hello_.constData(), hello_.size(), MSG_NOSIGNAL);
      if (n < 0) return blocked(false, true);
      hello_.remove(0, n);
    }
    while (!okSeen_.endsWith("OK\n")) {
      char c;
      const ssize_t n = ::recv(fd_, &c, 1, 0);
      if (n == 0) return IoResult::closed();
      if (n < 0) return errno == EAGAIN ? blocked(true, false) : IoResult::failed(10054);
      okSeen_.append(c);
    }
    return IoResult::done();
  }
  IoResult read(char* buf, long n) override {
    if (!held_.isEmpty()) {
      const long k = std::min<long>(n, held_.size());
      memcpy(buf, held_.constData(), k);
      held_.remove(0, k);
      return IoResult::done(k);
    }
    const ssize_t got = ::recv(fd_, buf, n, 0);
    if (got == 0) return IoResult::closed();
    if (got < 0) return errno == EAGAIN ? blocked(true, false) : IoResult::failed(10054);
    for (ssize_t i = 0; i < got; ++i) buf[i] = char(buf[i] ^ 0x5A);
    if (renegotiate_) {
      // Like a TLS renegotiation: the record is held until the transport could write.
      renegotiate_ = false;
      held_ = QByteArray(buf, got);
      return blocked(false, true);
    }
    return IoResult::done(got);
  }
  IoResult write(const char* buf, long n) override {
    if (lastBlocked_ > 0 && n != lastBlocked_) ++st_->retryViolations;
    lastBlocked_ = 0;
    const long k = sendCap_ > 0 ? std::min(n, sendCap_) : n;
    const QByteArray enc = Xor(QByteArray(buf, k));
    const ssize_t put = ::send(fd_, enc.constData(), enc.size(), MSG_NOSIGNAL);
    if (put < 0) {
      if (errno != EAGAIN) return IoResult::failed(10054);
      lastBlocked_ = n;
      ++st_->blockedWrites;
      return blocked(false, true);
    }
    return IoResult::done(put);
  }
  bool wantsRead() const override { return wantR_; }
  bool wantsWrite() const override { return wantW_; }
  void shutdown() override { ::shutdown(fd_, SHUT_WR); }

 private:
  IoResult blocked(bool r, bool w) {
    wantR_ = r;
    wantW_ = w;
    return IoResult::wouldBlock();
  }
  Stats* st_;
  int fd_ = -1;
  QByteArray hello_ = "HELLO\n";
  QByteArray okSeen_;
  QByteArray held_;
  bool renegotiate_;
  long sendCap_;
  long lastBlocked_ = 0;
  bool wantR_ = false, wantW_ = false;
};

// The opening exchange seen from the peer, up to the socket's OnConnect.
void OpeningExchange(SocketPair& p) {
  EXPECT_EQ(socktest::PumpRead(p.peer.fd, 6), "HELLO\n");
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "OK\n"));
  ASSERT_TRUE(WaitFor([&] { return p.r.has("connect"); }));
}

}  // namespace

TEST(CSocketTransport, ImplicitSecureLayerConnectsAfterItsOpeningExchange) {
  Stats st;
  SocketPair p;
  p.s.SetTransport(std::make_unique<ToyTransport>(&st));
  ASSERT_NO_FATAL_FAILURE(p.accept());
  EXPECT_EQ(socktest::PumpRead(p.peer.fd, 6), "HELLO\n");
  // Connected on the wire, but not for the caller until the exchange is over.
  EXPECT_FALSE(WaitFor([&] { return p.r.has("connect"); }, 150));
  EXPECT_EQ(p.s.State(), CSocket::sckConnecting);
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "OK\n"));
  ASSERT_TRUE(WaitFor([&] { return p.r.has("connect") || p.r.has("error"); }));
  EXPECT_EQ(p.r.events, QStringList{"connect"});
  EXPECT_EQ(p.r.states, (std::vector<long>{CSocket::sckConnecting, CSocket::sckConnected}));

  p.s.SendData("EHLO me\r\n");
  EXPECT_EQ(Xor(socktest::PumpRead(p.peer.fd, 9)), "EHLO me\r\n");
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, Xor("250 hi\r\n")));
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 8; }));
  EXPECT_EQ(p.s.GetData(), "250 hi\r\n");
}

TEST(CSocketTransport, UpgradeOnAConnectedSocketKeepsBufferedDataAndQueuesSends) {
  Stats st;
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.accept());
  ASSERT_TRUE(WaitFor([&] { return p.r.has("connect"); }));

  // The reply that allows the upgrade, with more plain bytes behind it that stay buffered.
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "220 go ahead\r\n"));
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 14; }));
  p.s.SetTransport(std::make_unique<ToyTransport>(&st));
  p.s.SendData("EHLO me\r\n");  // waits for the exchange
  EXPECT_EQ(p.s.BytesToSend(), 9);
  EXPECT_EQ(socktest::PumpRead(p.peer.fd, 6), "HELLO\n");
  EXPECT_EQ(socktest::PumpRead(p.peer.fd, 1, 150), QByteArray());  // nothing before "OK"
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "OK\n"));
  EXPECT_EQ(Xor(socktest::PumpRead(p.peer.fd, 9)), "EHLO me\r\n");
  EXPECT_EQ(p.s.GetData(), "220 go ahead\r\n");
  EXPECT_EQ(p.s.State(), CSocket::sckConnected);
  EXPECT_EQ(p.r.events.count("connect"), 1);  // no second OnConnect
}

TEST(CSocketTransport, AReadThatNeedsAWriteIsRetriedOnWritability) {
  Stats st;
  SocketPair p;
  p.s.SetTransport(std::make_unique<ToyTransport>(&st, true));
  ASSERT_NO_FATAL_FAILURE(p.accept());
  ASSERT_NO_FATAL_FAILURE(OpeningExchange(p));
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, Xor("+OK ready\r\n")));
  // The bytes left the descriptor into the transport; only a write readiness brings them out.
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 11; }, 5000));
  EXPECT_EQ(p.s.GetData(), "+OK ready\r\n");
}

TEST(CSocketTransport, RefusedWritesAreRepeatedWithTheSameLength) {
  Stats st;
  SocketPair p;
  p.s.SetTransport(std::make_unique<ToyTransport>(&st, false, 16 * 1024));  // record-sized writes
  ASSERT_NO_FATAL_FAILURE(p.accept());
  ASSERT_NO_FATAL_FAILURE(OpeningExchange(p));

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
  EXPECT_TRUE(Xor(peerGot) == payload) << peerGot.size();
  EXPECT_GT(st.blockedWrites, 0);
  EXPECT_EQ(st.retryViolations, 0);
  EXPECT_FALSE(p.r.has("error"));
}

TEST(CSocketTransport, AFailedOpeningExchangeIsAnError) {
  Stats st;
  SocketPair p;
  p.s.SetTransport(std::make_unique<ToyTransport>(&st));
  ASSERT_NO_FATAL_FAILURE(p.accept());
  p.peer.close();  // the peer hangs up instead of answering
  ASSERT_TRUE(WaitFor([&] { return p.r.has("error") || p.r.has("connect"); }));
  EXPECT_EQ(p.r.events, QStringList{"error"});
  EXPECT_EQ(p.r.errNumber, 10054);
  EXPECT_EQ(p.r.errSource, "CSocket.Handshake");
  EXPECT_EQ(p.s.State(), CSocket::sckError);
}
