// Blocking waits that run the event loop. Waking, aborts and time-outs are exercised by every
// protocol test (tests/pop3, tests/smtp); these are the limits those cannot reach.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "EventWait.h"

using vrl::EventWait;

TEST(EventWait, LimitsAndActivity) {
  EXPECT_EQ(EventWait::Until([] { return true; }, [] { return true; }, 0), EventWait::Done);
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, -5), EventWait::TimedOut);
  // Activity every 20 ms for 200 ms, silence time-out 60 ms: the wait lasts past the activity.
  int ticks = 0;
  bool active = false;
  QTimer pulse;
  QObject::connect(&pulse, &QTimer::timeout, [&] { active = ++ticks <= 10; });
  pulse.start(20);
  QElapsedTimer t;
  t.start();
  const auto activity = [&] { return std::exchange(active, false); };
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, 60, activity), EventWait::TimedOut);
  EXPECT_GE(t.elapsed(), 200 + 59);
  // Endless activity cannot keep a wait going once its condition holds.
  const int start = ticks;
  EXPECT_EQ(EventWait::Until([&] { return ticks >= start + 3; }, {}, 60000, [] { return true; }), EventWait::Done);
}
