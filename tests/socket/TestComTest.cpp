// Test_Com.TestHost: attempt mode, time mode, the early refusal, and the real echo on loopback.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <netinet/in.h>

#include "socket/IcmpEcho.h"
#include "socket/Test_Com.h"

namespace {
struct Counter {
  int calls = 0;
  int succeedAt = 0;  // 0: never
  QStringList hosts;
  Test_Com::EchoFunction fn() {
    return [this](const QString& host, int timeoutMs, vrl::IcmpReply*) {
      EXPECT_EQ(timeoutMs, 200);
      hosts << host;
      return ++calls == succeedAt;
    };
  }
};
}  // namespace

TEST(TestCom, NothingIsSentWhenBothLimitsAreZeroOrLess) {
  struct Case {
    qint16 timeout, retries;
  } cases[] = {{0, 0}, {-1, 0}, {0, -3}, {-2, -2}};
  for (const auto& c : cases) {
    Counter k;
    Test_Com t;
    t.SetEchoFunction(k.fn());
    QString host = QStringLiteral("127.0.0.1");
    qint16 to = c.timeout, n = c.retries;
    EXPECT_FALSE(t.TestHost(host, to, n));
    EXPECT_EQ(k.calls, 0);
  }
}

TEST(TestCom, AttemptModeSendsAtMostTheRetries) {
  struct Case {
    qint16 timeout, retries;
    int succeedAt;
    bool result;
    int calls;
  } cases[] = {
      {0, 3, 0, false, 3}, {0, 3, 2, true, 2}, {0, 1, 1, true, 1}, {-5, 4, 0, false, 4},
  };
  for (const auto& c : cases) {
    Counter k;
    k.succeedAt = c.succeedAt;
    Test_Com t;
    t.SetEchoFunction(k.fn());
    QString host = QStringLiteral(" mail.example.org ");
    qint16 to = c.timeout, n = c.retries;
    EXPECT_EQ(t.TestHost(host, to, n), c.result);
    EXPECT_EQ(k.calls, c.calls);
    EXPECT_EQ(k.hosts.value(0), "mail.example.org");
    // By-reference arguments come back unchanged.
    EXPECT_EQ(host, " mail.example.org ");
    EXPECT_EQ(to, c.timeout);
    EXPECT_EQ(n, c.retries);
  }
}

TEST(TestCom, TimeModeRepeatsUntilTheDeadline) {
  // Each request takes 200 ms on the test clock; 2 s allow the request at 0 and those that
  // start before the deadline.
  Counter k;
  qint64 now = 1000;
  Test_Com t;
  t.SetEchoFunction([&](const QString& h, int ms, vrl::IcmpReply* r) {
    now += 200;
    return k.fn()(h, ms, r);
  });
  t.SetClockFunction([&] { return now; });
  QString host = QStringLiteral("mail.example.org");
  qint16 to = 2, n = 0;
  EXPECT_FALSE(t.TestHost(host, to, n));
  EXPECT_EQ(k.calls, 10);

  // Time mode ignores the retries and stops at the first answer.
  Counter k2;
  k2.succeedAt = 3;
  Test_Com t2;
  t2.SetEchoFunction(k2.fn());
  t2.SetClockFunction([] { return qint64(0); });
  qint16 to2 = 5, n2 = 1;
  EXPECT_TRUE(t2.TestHost(host, to2, n2));
  EXPECT_EQ(k2.calls, 3);
}

TEST(TestCom, EventsRunBetweenRequests) {
  Counter k;
  Test_Com t;
  t.SetEchoFunction(k.fn());
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  QString host = QStringLiteral("x.example.org");
  qint16 to = 0, n = 2;
  bool firedBeforeSecond = false;
  t.SetEchoFunction([&](const QString& h, int ms, vrl::IcmpReply* r) {
    if (k.calls == 1) firedBeforeSecond = fired;
    return k.fn()(h, ms, r);
  });
  EXPECT_FALSE(t.TestHost(host, to, n));
  EXPECT_TRUE(firedBeforeSecond);
}

TEST(TestCom, UnresolvableHostIsFalseInBothModes) {
  Test_Com t;
  QString host = QStringLiteral("nohost.invalid");
  qint16 to = 0, n = 2;
  EXPECT_FALSE(t.TestHost(host, to, n));
  // Real clock: one second of requests that cannot be resolved, then false.
  QElapsedTimer e;
  e.start();
  qint16 to1 = 1, n1 = 0;
  EXPECT_FALSE(t.TestHost(host, to1, n1));
  EXPECT_GE(e.elapsed(), 999);
}

TEST(TestCom, LoopbackAnswers) {
  if (vrl::IcmpSocketKind(AF_INET) == 0)
    GTEST_SKIP() << "no ICMP socket can be opened here (net.ipv4.ping_group_range excludes this group and "
                    "raw sockets need root)";
  Test_Com t;
  QString host = QStringLiteral("127.0.0.1");
  qint16 to = 0, n = 3;
  EXPECT_TRUE(t.TestHost(host, to, n));
  qint16 to2 = 2, n2 = 0;
  EXPECT_TRUE(t.TestHost(host, to2, n2));
}
