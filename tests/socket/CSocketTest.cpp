// CSocket against loopback peers: states, event order, buffers, errors, bulk transfer, lifetime.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <thread>

#include "socket/CSocket.h"
#include "socket/MSocketSupport.h"
#include "SocketPair.h"
#include "VrlError.h"

using socktest::ConnectPair;
using socktest::Listener;
using socktest::PeerFd;
using socktest::Recorder;
using socktest::SocketPair;
using socktest::WaitFor;

namespace {

using States = std::vector<long>;

// Resolver stand-ins for the tests (run on the resolving thread).
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
  MSocketSupport::SockAddr sa;
  MSocketSupport::ParseNumericHost(QStringLiteral("127.0.0.1"), &sa);
  out->push_back(sa);
  return 0;
}

// Lookups finish on their own thread, which does not wake the event loop once the socket is
// gone: poll for the count.
bool PollUntil(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool WaitNoResolutions() {
  return PollUntil([] { return MSocketSupport::ResolutionsInFlight() == 0; });
}

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

TEST(CSocket, DottedAddressConnectsWithoutResolution) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  EXPECT_EQ(p.r.states, (States{CSocket::sckConnecting, CSocket::sckConnected}));
  EXPECT_EQ(p.s.State(), CSocket::sckConnected);
  EXPECT_EQ(p.s.RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(p.s.RemotePort(), p.l.port());
  EXPECT_EQ(p.s.LocalIP(), "127.0.0.1");
  EXPECT_GT(p.s.LocalPort(), 0);
  EXPECT_GE(p.s.SocketHandle(), 0);
  EXPECT_FALSE(p.s.LocalHostName().isEmpty());
}

TEST(CSocket, NameGoesThroughResolvingAndResolved) {
  Listener l;
  ASSERT_TRUE(l.ok());
  CSocket s;
  Recorder r(s);
  s.Connect(QStringLiteral("localhost"), l.port());
  EXPECT_EQ(s.State(), CSocket::sckResolvingHost);
  ASSERT_TRUE(WaitFor([&] { return r.has("connect") || r.has("error"); }));
  ASSERT_TRUE(r.has("connect")) << r.errText.toStdString();
  EXPECT_EQ(r.states, (States{CSocket::sckResolvingHost, CSocket::sckHostResolved, CSocket::sckConnecting,
                              CSocket::sckConnected}));
  EXPECT_EQ(s.RemoteHost(), "localhost");
  EXPECT_EQ(s.RemoteHostIP(), "127.0.0.1");
}

TEST(CSocket, Ipv6LiteralConnects) {
  Listener l(true);
  if (!l.ok()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  for (const char* host : {"::1", "[::1]"}) {
    CSocket s;
    Recorder r(s);
    PeerFd peer{ConnectPair(s, l, r, QString::fromLatin1(host))};
    ASSERT_GE(peer.fd, 0) << host << " " << r.errText.toStdString();
    EXPECT_EQ(r.states, (States{CSocket::sckConnecting, CSocket::sckConnected})) << host;
    EXPECT_EQ(s.RemoteHostIP(), "::1");
  }
}

TEST(CSocket, RefusedConnectionEndsInErrorState) {
  // A bound socket that does not listen: connections to its port are refused, and nobody else
  // can take the port meanwhile.
  Listener closedPort(false, false);
  ASSERT_TRUE(closedPort.ok());
  struct Case {
    const char* host;
    const char* source;
  } cases[] = {{"127.0.0.1", "CSocket.Connect"}, {"localhost", "CSocket.PostGetHostEvent"}};
  for (const auto& c : cases) {
    CSocket s;
    Recorder r(s);
    s.Connect(QString::fromLatin1(c.host), closedPort.port());
    ASSERT_TRUE(WaitFor([&] { return r.has("error") || r.has("connect"); })) << c.host;
    EXPECT_EQ(r.events, QStringList{"error"}) << c.host;
    EXPECT_EQ(r.errNumber, 10061) << c.host;
    EXPECT_EQ(r.errText, "Connection refused.") << c.host;
    EXPECT_EQ(r.errSource, c.source) << c.host;
    EXPECT_EQ(s.State(), CSocket::sckError) << c.host;
    EXPECT_EQ(s.SocketHandle(), -1) << c.host;
    // The same object connects again from its error state.
    Listener l;
    ASSERT_TRUE(l.ok());
    r.events.clear();
    PeerFd peer{ConnectPair(s, l, r, QString::fromLatin1(c.host))};
    EXPECT_GE(peer.fd, 0) << c.host;
    EXPECT_EQ(s.State(), CSocket::sckConnected) << c.host;
  }
}

TEST(CSocket, TriesEveryResolvedAddressInOrder) {
  Listener l;
  ASSERT_TRUE(l.ok());
  Listener refused(false, false);  // holds 127.0.0.1:<port> of nothing; 127.0.0.2 has no listener
  ASSERT_TRUE(refused.ok());
  ResolverScope scope(&FakeResolver);
  g_fakeAddrs = {"127.0.0.2", "127.0.0.1"};
  CSocket s;
  Recorder r(s);
  s.Connect(QStringLiteral("two-addresses.test"), l.port());
  ASSERT_TRUE(WaitFor([&] { return r.has("connect") || r.has("error"); }));
  ASSERT_TRUE(r.has("connect")) << r.errNumber << " " << r.errText.toStdString();
  EXPECT_EQ(s.RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(r.states, (States{CSocket::sckResolvingHost, CSocket::sckHostResolved, CSocket::sckConnecting,
                              CSocket::sckConnected}));

  // When every address fails, the last failure is reported once.
  CSocket s2;
  Recorder r2(s2);
  g_fakeAddrs = {"127.0.0.2", "127.0.0.3"};
  s2.Connect(QStringLiteral("two-addresses.test"), refused.port());
  ASSERT_TRUE(WaitFor([&] { return r2.has("connect") || r2.has("error"); }));
  EXPECT_EQ(r2.events, QStringList{"error"});
  EXPECT_EQ(r2.errNumber, 10061);
  EXPECT_EQ(r2.errSource, "CSocket.PostGetHostEvent");
}

TEST(CSocket, ResolutionFailuresReportTheirNumberAndText) {
  struct Case {
    const char* host;
    int fakeError;  // 0: the real resolver
    int number;
    const char* text;
  } cases[] = {
      {"nohost.invalid", 0, 11001, "Host not found."},
      {"NoHost.Invalid.", 0, 11001, "Host not found."},
      {"temporary.test", 11002, 11002, "Nonauthoritative host not found."},
      {"broken.test", 11003, 11003, "This is a nonrecoverable error."},
      {"empty.test", -1, 11001, "Host not found."},  // lookup succeeds with no address
  };
  for (const auto& c : cases) {
    std::unique_ptr<ResolverScope> scope;
    if (c.fakeError != 0) {
      scope = std::make_unique<ResolverScope>(&FakeResolver);
      g_fakeError = c.fakeError > 0 ? c.fakeError : 0;
    }
    CSocket s;
    Recorder r(s);
    s.Connect(QString::fromLatin1(c.host), 25);
    ASSERT_TRUE(WaitFor([&] { return r.has("error") || r.has("connect"); })) << c.host;
    EXPECT_EQ(r.events, QStringList{"error"}) << c.host;
    EXPECT_EQ(r.errNumber, c.number) << c.host;
    EXPECT_EQ(r.errText, c.text) << c.host;
    EXPECT_EQ(r.errSource, "CSocket.PostGetHostEvent") << c.host;
    EXPECT_EQ(r.states, (States{CSocket::sckResolvingHost, CSocket::sckError})) << c.host;
  }
}

TEST(CSocket, DataThatComesWithTheCloseArrivesFirst) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "+OK bye\r\n"));
  p.peer.close();
  ASSERT_TRUE(WaitFor([&] { return p.r.has("close") || p.r.has("error"); }));
  EXPECT_EQ(p.r.events, (QStringList{"connect", "data", "close"}));
  EXPECT_EQ(p.r.lastTotal, 9);
  EXPECT_EQ(p.s.State(), CSocket::sckClosed);
  EXPECT_EQ(p.r.states.back(), CSocket::sckClosed);
  EXPECT_EQ(p.r.states[p.r.states.size() - 2], CSocket::sckClosing);
  EXPECT_EQ(p.s.BytesReceived(), 9);
  // The data stays readable after the close.
  EXPECT_EQ(p.s.GetData(), "+OK bye\r\n");
}

TEST(CSocket, LargeReplyFollowedByCloseIsDeliveredWhole) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  QByteArray payload(3 * 1024 * 1024 + 17, '\0');
  for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = char('a' + i % 26);
  QByteArray got;
  QObject::connect(&p.s, &CSocket::OnDataArrival, [&](long) { got += p.s.GetData(); });
  std::thread writer([fd = p.peer.fd, &payload] {
    socktest::WriteAll(fd, payload);
    ::close(fd);
  });
  p.peer.fd = -1;
  const bool closed = WaitFor([&] { return p.r.has("close") || p.r.has("error"); }, 30000);
  writer.join();
  ASSERT_TRUE(closed);
  EXPECT_EQ(p.r.events.last(), "close");
  EXPECT_FALSE(p.r.has("error"));
  EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size();
  EXPECT_EQ(p.s.BytesReceived(), payload.size());
}

TEST(CSocket, GetDataAndPeekDataTakeFromTheFront) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "abcdef"));
  ASSERT_TRUE(WaitFor([&] { return p.r.lastTotal == 6; }));

  struct Step {
    bool take;
    long maxLen;
    const char* expected;
    long left;
  } steps[] = {
      {false, -1, "abcdef", 6}, {false, 3, "abc", 6}, {false, 0, "", 6},   {true, 2, "ab", 4},
      {false, 100, "cdef", 4},  {true, 0, "", 4},     {true, 1, "c", 3},   {true, 100, "def", 0},
      {true, -1, "", 0},        {false, -1, "", 0},
  };
  for (const auto& st : steps) {
    const QByteArray got = st.take ? p.s.GetData(st.maxLen) : p.s.PeekData(st.maxLen);
    EXPECT_EQ(got, QByteArray(st.expected)) << (st.take ? "GetData(" : "PeekData(") << st.maxLen << ")";
    EXPECT_EQ(p.s.PeekData().size(), st.left);
  }
  // New data lands behind what is left.
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "12"));
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 2; }));
  ASSERT_TRUE(socktest::WriteAll(p.peer.fd, "34"));
  EXPECT_EQ(p.s.GetData(1), "1");
  ASSERT_TRUE(WaitFor([&] { return p.s.PeekData().size() == 3; }));
  EXPECT_EQ(p.s.GetData(), "234");
}

TEST(CSocket, PiecewiseReadingOfALargeBufferKeepsOrder) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  QByteArray payload(600 * 1024, '\0');
  for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = char(i * 7 % 251);
  std::thread writer([fd = p.peer.fd, &payload] { socktest::WriteAll(fd, payload); });
  const bool all = WaitFor([&] { return p.s.PeekData().size() == payload.size(); }, 30000);
  writer.join();
  ASSERT_TRUE(all);
  QByteArray got;
  while (p.s.PeekData(1).size() == 1) got += p.s.GetData(1000);  // crosses the compaction points
  EXPECT_TRUE(got == payload);
}

TEST(CSocket, DirectCallErrors) {
  struct Case {
    const char* what;
    std::function<void(CSocket&)> call;
    int number;
    const char* text;
    const char* source;
  } cases[] = {
      {"SendData without a socket", [](CSocket& s) { s.SendData("x"); }, 40006,
       "Wrong protocol or connection state for the requested transaction or request.", "CSocket.SendData"},
      {"Connect without a host", [](CSocket& s) { s.Connect(); }, 10049, "Cannot assign requested address.",
       "CSocket.Connect"},
      {"Connect with a blank host", [](CSocket& s) { s.Connect(QStringLiteral("  ")); }, 10049,
       "Cannot assign requested address.", "CSocket.Connect"},
      {"SendData while resolving",
       [](CSocket& s) {
         s.Connect(QStringLiteral("nohost.invalid"), 25);
         s.SendData("x");
       },
       10057, "Socket is not connected.", "CSocket.SendData"},
  };
  for (const auto& c : cases) {
    CSocket s;
    try {
      c.call(s);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const vrl::VrlError& e) {
      EXPECT_EQ(e.Number(), c.number) << c.what;
      EXPECT_EQ(e.Description(), c.text) << c.what;
      EXPECT_EQ(e.Source(), c.source) << c.what;
    }
  }
}

TEST(CSocket, SendDataReachesThePeerWithProgressAndCompletion) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  p.s.SendData("HELO example.org\r\n");
  p.s.SendData("");
  p.s.SendData("QUIT\r\n");
  EXPECT_EQ(socktest::ReadExactly(p.peer.fd, 24), "HELO example.org\r\nQUIT\r\n");
  ASSERT_TRUE(WaitFor([&] { return p.r.sendComplete > 0; }));
  EXPECT_EQ(p.r.progressSent, 24);
  EXPECT_EQ(p.r.lastRemaining, 0);
  EXPECT_EQ(p.s.BytesToSend(), 0);
  EXPECT_EQ(p.r.sendComplete, 1);
}

TEST(CSocket, CloseSocketShutsDownQuietly) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  p.r.states.clear();
  p.s.SendData("QUIT\r\n");
  p.s.CloseSocket();
  EXPECT_EQ(p.r.states, (States{CSocket::sckClosing, CSocket::sckClosed}));
  EXPECT_EQ(p.s.SocketHandle(), -1);
  EXPECT_EQ(socktest::ReadExactly(p.peer.fd, 6), "QUIT\r\n");
  EXPECT_TRUE(socktest::SeesEof(p.peer.fd));
  QCoreApplication::processEvents();
  EXPECT_EQ(p.r.events, QStringList{"connect"});  // no OnClose for our own close
  // Closed again: nothing happens; sending is refused.
  p.s.CloseSocket();
  EXPECT_THROW(p.s.SendData("x"), vrl::VrlError);
  // The object connects again afterwards.
  p.r.events.clear();
  PeerFd peer2{ConnectPair(p.s, p.l, p.r)};
  EXPECT_GE(peer2.fd, 0);
  EXPECT_EQ(p.s.State(), CSocket::sckConnected);
}

TEST(CSocket, ConnectWhileBusyIsRefused) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  try {
    p.s.Connect();
    ADD_FAILURE() << "no error";
  } catch (const vrl::VrlError& e) {
    EXPECT_EQ(e.Number(), 10056);
    EXPECT_EQ(e.Source(), "CSocket.Connect");
  }
  EXPECT_EQ(p.s.State(), CSocket::sckConnected);
}

TEST(CSocket, PeerResetIsAnError) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  p.peer.reset();
  ASSERT_TRUE(WaitFor([&] { return p.r.has("error") || p.r.has("close"); }));
  // Some stacks report the reset as an orderly end; when it is an error it must be this one.
  if (p.r.has("error")) {
    EXPECT_EQ(p.r.errNumber, 10054);
    EXPECT_EQ(p.r.errText, "Connection reset by peer.");
    EXPECT_EQ(p.r.errSource, "CSocket.RecvToBuffer");
    EXPECT_EQ(p.s.State(), CSocket::sckError);
  } else {
    EXPECT_EQ(p.s.State(), CSocket::sckClosed);
  }
  EXPECT_EQ(p.s.SocketHandle(), -1);
}

TEST(CSocket, SendingToAGonePeerFails) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  p.peer.reset();
  // No signal, no crash: either SendData raises or the error/close comes as an event.
  bool raised = false;
  try {
    for (int i = 0; i < 50 && p.s.State() == CSocket::sckConnected; ++i) {
      p.s.SendData(QByteArray(64 * 1024, 'x'));
      QCoreApplication::processEvents();
    }
  } catch (const vrl::VrlError& e) {
    raised = true;
    EXPECT_EQ(e.Source(), "CSocket.SendData");
    EXPECT_TRUE(e.Number() == 10054 || e.Number() == 10058 || e.Number() == 40006) << e.Number();
  }
  EXPECT_TRUE(raised || WaitFor([&] { return p.s.State() != CSocket::sckConnected; }));
  EXPECT_NE(p.s.State(), CSocket::sckConnected);
}

TEST(CSocket, TwentyMegabytesBothWaysArriveIntact) {
  SocketPair p;
  ASSERT_NO_FATAL_FAILURE(p.connect());
  const qsizetype size = 20 * 1024 * 1024;
  QByteArray up(size, '\0'), down(size, '\0');
  auto* rng = QRandomGenerator::global();
  rng->fillRange(reinterpret_cast<quint32*>(up.data()), size / 4);
  rng->fillRange(reinterpret_cast<quint32*>(down.data()), size / 4);

  // The peer sends and receives at the same time, so neither side can stall the other.
  QByteArray peerGot;
  std::atomic<bool> peerDone{false};
  std::thread peerThread([fd = p.peer.fd, &down, &peerGot, &peerDone, size] {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    qsizetype sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buf[65536];
    while ((sent < size || peerGot.size() < size) && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, short(POLLIN | (sent < size ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, 1000) <= 0) continue;
      if (p.revents & POLLIN) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n > 0) peerGot.append(buf, n);
      }
      if ((p.revents & POLLOUT) && sent < size) {
        const ssize_t n = ::send(fd, down.constData() + sent, std::min<qsizetype>(256 * 1024, size - sent), MSG_NOSIGNAL);
        if (n > 0) sent += n;
      }
    }
    peerDone = true;
    // Wake the test's event loop: the flag alone is no event.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
  });

  QByteArray got;
  QObject::connect(&p.s, &CSocket::OnDataArrival, [&](long) { got += p.s.GetData(); });
  p.s.SendData(up);
  const bool finished = WaitFor([&] { return peerDone.load() && got.size() >= size; }, 90000);
  peerThread.join();
  ASSERT_TRUE(finished) << "received " << got.size() << ", peer received " << peerGot.size();
  EXPECT_TRUE(got == down);
  EXPECT_TRUE(peerGot == up);
  EXPECT_EQ(p.r.progressSent, size);
  ASSERT_TRUE(WaitFor([&] { return p.r.sendComplete > 0; }));
  EXPECT_EQ(p.s.BytesToSend(), 0);
  EXPECT_FALSE(p.r.has("error"));
}

TEST(CSocket, DestroyedWhileResolvingIsSafe) {
  ResolverScope scope(&BlockingResolver);
  g_blockedCalls = 0;
  {
    auto s = std::make_unique<CSocket>();
    s->Connect(QStringLiteral("slow.test"), 25);
    ASSERT_TRUE(PollUntil([] { return g_blockedCalls.load() == 1; }));
    s.reset();  // the lookup is still running
  }
  // A result already posted but not yet delivered when the socket goes.
  {
    g_release = true;
    auto s = std::make_unique<CSocket>();
    s->Connect(QStringLiteral("quick.test"), 25);
    EXPECT_TRUE(WaitNoResolutions());
    s.reset();
  }
  // CloseSocket during the lookup: no event afterwards.
  {
    g_release = false;
    CSocket s;
    Recorder r(s);
    s.Connect(QStringLiteral("slow.test"), 25);
    s.CloseSocket();
    EXPECT_EQ(s.State(), CSocket::sckClosed);
    g_release = true;
    EXPECT_TRUE(WaitNoResolutions());
    QCoreApplication::processEvents();
    EXPECT_TRUE(r.events.isEmpty());
    EXPECT_EQ(s.State(), CSocket::sckClosed);
  }
  g_release = true;
  EXPECT_TRUE(WaitNoResolutions());
  QCoreApplication::processEvents();
}

TEST(CSocket, DeletingTheSocketFromItsOwnEventsIsSafe) {
  Listener l;
  ASSERT_TRUE(l.ok());
  for (const char* when : {"data", "close", "connect"}) {
    auto* s = new CSocket;
    bool deleted = false;
    auto kill = [&] {
      if (!deleted) {
        deleted = true;
        delete s;
      }
    };
    if (QLatin1String(when) == QLatin1String("data")) QObject::connect(s, &CSocket::OnDataArrival, kill);
    if (QLatin1String(when) == QLatin1String("close")) QObject::connect(s, &CSocket::OnClose, kill);
    if (QLatin1String(when) == QLatin1String("connect")) QObject::connect(s, &CSocket::OnConnect, kill);
    s->Connect(QStringLiteral("127.0.0.1"), l.port());
    PeerFd peer{l.acceptOne()};
    ASSERT_GE(peer.fd, 0);
    socktest::WriteAll(peer.fd, "bye\r\n");
    peer.close();
    EXPECT_TRUE(WaitFor([&] { return deleted; })) << when;
    if (!deleted) delete s;
  }
}

TEST(CSocket, PropertyChecks) {
  CSocket s;
  EXPECT_EQ(s.State(), CSocket::sckClosed);
  EXPECT_EQ(s.SocketHandle(), -1);
  EXPECT_THROW(s.SetRemotePort(65536), vrl::VrlError);
  EXPECT_THROW(s.SetRemotePort(-1), vrl::VrlError);
  s.SetRemotePort(110);
  EXPECT_EQ(s.RemotePort(), 110);
  EXPECT_EQ(s.BytesToSend(), 0);
  EXPECT_EQ(s.GetData(), QByteArray());
}
