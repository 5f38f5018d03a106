// Test_Com.TestHost: attempt mode, time mode, the early refusal; the real ICMP echo on loopback.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <netinet/in.h>

#include "socket/IcmpEcho.h"
#include "socket/Test_Com.h"

TEST(TestCom, AttemptsAndTimeModeSendTheRightNumberOfRequests) {
  const struct {
    qint16 timeout, retries;
    int succeedAt;  // 0: never
    bool result;
    int calls;
  } cases[] = {
      {0, 0, 0, false, 0}, {-2, -2, 0, false, 0},  // both limits <= 0: nothing is sent
      {0, 3, 0, false, 3}, {0, 3, 2, true, 2},  {-5, 4, 0, false, 4},
      {2, 0, 0, false, 10},  // time mode: 200 ms a request on the test clock, for 2 s
      {5, 1, 3, true, 3},    // time mode ignores the retries and stops at the first answer
  };
  for (const auto& c : cases) {
    int calls = 0;
    qint64 now = 1000;
    bool fired = false, firedBeforeSecond = false;
    QObject scope;  // ends the timer with this case
    QTimer::singleShot(0, &scope, [&] { fired = true; });
    Test_Com t;
    t.SetEchoFunction([&](const QString& host, int timeoutMs, vrl::IcmpReply*) {
      EXPECT_EQ(host, "mail.example.org");
      EXPECT_EQ(timeoutMs, 200);
      if (calls == 1) firedBeforeSecond = fired;  // events run between requests
      now += 200;
      return ++calls == c.succeedAt;
    });
    t.SetClockFunction([&] { return now; });
    QString host = QStringLiteral(" mail.example.org ");
    qint16 to = c.timeout, n = c.retries;
    EXPECT_EQ(t.TestHost(host, to, n), c.result) << c.timeout << "/" << c.retries;
    EXPECT_EQ(calls, c.calls) << c.timeout << "/" << c.retries;
    EXPECT_TRUE(calls < 2 || firedBeforeSecond);
    // By-reference arguments come back unchanged.
    EXPECT_EQ(host, " mail.example.org ");
    EXPECT_TRUE(to == c.timeout && n == c.retries);
  }
}
