// CSocket against loopback peers: states, event order, buffers, errors, lifetime. Bulk sends are
// the transport tests' and the SMTP tests' part.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "LoopbackPeer.h"
#include "VrlError.h"
#include "socket/MSocketSupport.h"

using namespace socktest;

namespace {

using States = std::vector<long>;
const States kDirect{CSocket::sckConnecting, CSocket::sckConnected};
const States kResolved{CSocket::sckResolvingHost, CSocket::sckHostResolved, CSocket::sckConnecting,
                       CSocket::sckConnected};

// Resolver stand-ins (run on the resolving thread).
std::vector<QByteArray> g_fakeAddrs;
int g_fakeError = 0;
int FakeResolver(const QByteArray&, std::vector<MSocketSupport::SockAddr>* out) {
  for (const auto& a : g_fakeAddrs) {
    MSocketSupport::SockAddr sa;
    if (MSocketSupport::ParseNumericHost(QString::fromLatin1(a), &sa)) out->push_back(sa);
  }
  return g_fakeError;
}

std::atomic<bool> g_release{false};
std::atomic<int> g_blockedCalls{0};
int BlockingResolver(const QByteArray&, std::vector<MSocketSupport::SockAddr>* out) {
  ++g_blockedCalls;
  for (int i = 0; i < 2000 && !g_release.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  out->emplace_back();
  MSocketSupport::ParseNumericHost(QStringLiteral("127.0.0.1"), &out->back());
  return 0;
}

// Lookups end on their own thread, which does not wake the event loop once the socket is gone:
// poll.
bool PollUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 15000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}
bool WaitNoResolutions() { return PollUntil([] { return MSocketSupport::ResolutionsInFlight() == 0; }); }

struct ResolverScope {
  explicit ResolverScope(MSocketSupport::ResolverHook h) { MSocketSupport::SetResolverForTesting(h); }
  ~ResolverScope() {
    // No lookup may outlive the test that installed the stand-in.
    g_release = true;
    WaitNoResolutions();
    MSocketSupport::SetResolverForTesting(nullptr);
    g_release = false;
    g_fakeAddrs.clear();
    g_fakeError = 0;
  }
};

}  // namespace

TEST(CSocket, ConnectsByAddressOrName) {
  const struct {
    const char* host;
    bool v6;
    const States& states;
    const char* ip;
  } cases[] = {{"127.0.0.1", false, kDirect, "127.0.0.1"},
               {"localhost", false, kResolved, "127.0.0.1"},
               {"two-addresses.test", false, kResolved, "127.0.0.1"},  // the first one refuses: the next is tried
               {"::1", true, kDirect, "::1"},
               {"[::1]", true, kDirect, "::1"}};
  for (const auto& c : cases) {
    Listener l(c.v6);
    if (!l.ok()) continue;  // no IPv6 loopback on this machine
    std::unique_ptr<ResolverScope> scope;
    if (QByteArray(c.host).endsWith(".test")) {
      scope = std::make_unique<ResolverScope>(&FakeResolver);
      g_fakeAddrs = {"127.0.0.2", "127.0.0.1"};  // nothing listens on 127.0.0.2
    }
    CSocket s;
    Recorder r(s);
    PeerFd peer{ConnectPair(s, l, r, QString::fromLatin1(c.host))};
    ASSERT_GE(peer.fd, 0) << c.host << " " << r.errText.toStdString();
    EXPECT_EQ(r.states, c.states) << c.host;
    EXPECT_EQ(s.RemoteHostIP(), c.ip) << c.host;
  }
}

TEST(CSocket, FailedConnectionsReportOnceAndTheObjectConnectsAgain) {
  // A bound socket that does not listen: its port refuses, and nobody else can take it meanwhile.
  Listener closedPort(false, false), l;
  ASSERT_TRUE(closedPort.ok() && l.ok());
  const struct {
    const char* host;
    int fakeError;  // 0: the real resolver
    int number;
    const char* text;
  } cases[] = {
      {"127.0.0.1", 0, 10061, "Connection refused."},
      {"localhost", 0, 10061, "Connection refused."},
      {"two-addresses.test", -1, 10061, "Connection refused."},  // both addresses refuse: the last is told
      {"nohost.invalid", 0, 11001, "Host not found."},
      {"temporary.test", 11002, 11002, "Nonauthoritative host not found."},
      {"empty.test", -2, 11001, "Host not found."},  // the lookup succeeds with no address
  };
  for (const auto& c : cases) {
    std::unique_ptr<ResolverScope> scope;
    if (c.fakeError != 0) {
      scope = std::make_unique<ResolverScope>(&FakeResolver);
      g_fakeError = std::max(c.fakeError, 0);
      if (c.fakeError == -1) g_fakeAddrs = {"127.0.0.2", "127.0.0.3"};
    }
    CSocket s;
    Recorder r(s);
    s.Connect(QString::fromLatin1(c.host), closedPort.port());
    ASSERT_TRUE(WaitFor([&] { return !r.events.isEmpty(); })) << c.host;
    EXPECT_EQ(r.events, QStringList{"error"}) << c.host;
    EXPECT_EQ(r.errNumber, c.number) << c.host;
    EXPECT_EQ(r.errText, c.text) << c.host;
    EXPECT_EQ(s.State(), CSocket::sckError) << c.host;
    EXPECT_EQ(s.SocketHandle(), -1) << c.host;
    r.events.clear();
    PeerFd peer{ConnectPair(s, l, r)};
    EXPECT_GE(peer.fd, 0) << c.host;
  }
}

TEST(CSocket, DataSentBeforeTheCloseArrivesWholeAndFirst) {
  for (const qsizetype size : {qsizetype(9), qsizetype(3 * 1024 * 1024 + 17)}) {
    SocketPair p;
    ASSERT_NO_FATAL_FAILURE(p.connect());
    QByteArray payload(size, '\0');
    for (qsizetype i = 0; i < size; ++i) payload[i] = char(i * 7 % 251);
    std::thread writer([fd = p.peer.fd, &payload] {
      socktest::WriteAll(fd, payload);
      ::close(fd);
    });
    p.peer.fd = -1;
    const bool ended = WaitFor([&] { return p.r.has("close") || p.r.has("error"); }, 30000);
    writer.join();
    ASSERT_TRUE(ended) << size;
    EXPECT_EQ(p.r.events.first(), "connect");
    EXPECT_EQ(p.r.events.last(), "close");
    EXPECT_EQ(p.r.events.count("data") + 2, p.r.events.size()) << p.r.events.join(u' ').toStdString();
    EXPECT_EQ(p.s.State(), CSocket::sckClosed);
    EXPECT_EQ(p.s.BytesReceived(), size);
    // Still readable after the close; small takes cross the buffer's compaction points.
    QByteArray got;
    while (p.s.PeekData(1).size() == 1) got += p.s.GetData(1000);
    EXPECT_TRUE(got == payload) << got.size() << " of " << size;
  }
}

TEST(CSocket, APeerResetEndsTheConnectionWithoutACrash) {
  for (const bool sending : {false, true}) {
    SocketPair p;
    ASSERT_NO_FATAL_FAILURE(p.connect());
    p.peer.reset();
    try {
      for (int i = 0; sending && i < 50 && p.s.State() == CSocket::sckConnected; ++i) {
        p.s.SendData(QByteArray(64 * 1024, 'x'));  // no SIGPIPE
        QCoreApplication::processEvents();
      }
    } catch (const vrl::VrlError& e) {
      EXPECT_EQ(e.Source(), "CSocket.SendData");
      EXPECT_TRUE(e.Number() == 10054 || e.Number() == 10058 || e.Number() == 40006) << e.Number();
    }
    EXPECT_TRUE(WaitFor([&] { return p.s.State() != CSocket::sckConnected; })) << sending;
    // Some stacks report the reset as an orderly end; as an error it must be this one.
    if (!sending && p.r.has("error")) {
      EXPECT_EQ(p.r.errNumber, 10054);
      EXPECT_EQ(p.r.errSource, "CSocket.RecvToBuffer");
    }
    EXPECT_EQ(p.s.SocketHandle(), -1) << sending;
  }
}

TEST(CSocket, DestroyedOrClosedWhileResolvingIsSafe) {
  ResolverScope scope(&BlockingResolver);
  g_blockedCalls = 0;
  auto s = std::make_unique<CSocket>();
  s->Connect(QStringLiteral("slow.test"), 25);
  ASSERT_TRUE(PollUntil([] { return g_blockedCalls.load() == 1; }));
  s.reset();  // the lookup is still running
  // A result already posted but not yet delivered when the socket goes.
  g_release = true;
  s = std::make_unique<CSocket>();
  s->Connect(QStringLiteral("quick.test"), 25);
  EXPECT_TRUE(WaitNoResolutions());
  s.reset();
  // CloseSocket during the lookup: no event afterwards.
  g_release = false;
  CSocket s2;
  Recorder r(s2);
  s2.Connect(QStringLiteral("slow.test"), 25);
  s2.CloseSocket();
  g_release = true;
  EXPECT_TRUE(WaitNoResolutions());
  QCoreApplication::processEvents();
  EXPECT_TRUE(r.events.isEmpty());
  EXPECT_EQ(s2.State(), CSocket::sckClosed);
}

TEST(CSocket, DeletingTheSocketFromItsOwnEventsIsSafe) {
  Listener l;
  ASSERT_TRUE(l.ok());
  for (int when = 0; when < 3; ++when) {
    auto* s = new CSocket;
    bool deleted = false;
    auto kill = [&] {
      if (!std::exchange(deleted, true)) delete s;
    };
    if (when == 0) QObject::connect(s, &CSocket::OnConnect, kill);
    if (when == 1) QObject::connect(s, &CSocket::OnDataArrival, kill);
    if (when == 2) QObject::connect(s, &CSocket::OnClose, kill);
    s->Connect(QStringLiteral("127.0.0.1"), l.port());
    PeerFd peer{l.acceptOne()};
    ASSERT_GE(peer.fd, 0);
    socktest::WriteAll(peer.fd, "bye\r\n");
    peer.close();
    EXPECT_TRUE(WaitFor([&] { return deleted; })) << when;
    if (!deleted) delete s;
  }
}
