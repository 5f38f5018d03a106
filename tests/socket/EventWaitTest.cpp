// Blocking waits that run the event loop: wake on the event, time out, restart on activity.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "EventWait.h"

using vrl::EventWait;

TEST(EventWait, WakesOnTheEventNotTheDeadline) {
  bool flag = false;
  QTimer::singleShot(0, [&] { flag = true; });
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(EventWait::Until([&] { return flag; }, {}, 60000), EventWait::Done);
  // Far below the deadline: the wait ended because of the event.
  EXPECT_LT(t.elapsed(), 30000);
}

TEST(EventWait, ImmediateResults) {
  EXPECT_EQ(EventWait::Until([] { return true; }, [] { return true; }, 0), EventWait::Done);
  EXPECT_EQ(EventWait::Until([] { return false; }, [] { return true; }, 1000), EventWait::Aborted);
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, 0), EventWait::TimedOut);
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, -5), EventWait::TimedOut);
}

TEST(EventWait, AbortSetByAnEventEndsTheWait) {
  bool abort = false;
  QTimer::singleShot(5, [&] { abort = true; });
  EXPECT_EQ(EventWait::Until([] { return false; }, [&] { return abort; }, 60000), EventWait::Aborted);
}

TEST(EventWait, TimesOutAfterTheDeadline) {
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, 60), EventWait::TimedOut);
  EXPECT_GE(t.elapsed(), 59);
}

TEST(EventWait, UnrelatedEventsDoNotEndTheWaitEarly) {
  QTimer noise;
  int ticks = 0;
  QObject::connect(&noise, &QTimer::timeout, [&] { ++ticks; });
  noise.start(5);
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, 80), EventWait::TimedOut);
  EXPECT_GE(t.elapsed(), 79);
  EXPECT_GT(ticks, 2);
}

TEST(EventWait, ActivityRestartsTheSilenceTimeout) {
  // Activity every 20 ms for 200 ms, silence time-out 60 ms: the wait lasts past the activity.
  int ticks = 0;
  bool active = false;
  QTimer pulse;
  QObject::connect(&pulse, &QTimer::timeout, [&] {
    if (++ticks <= 10) active = true;
  });
  pulse.start(20);
  QElapsedTimer t;
  t.start();
  auto activity = [&] {
    const bool a = active;
    active = false;
    return a;
  };
  EXPECT_EQ(EventWait::Until([] { return false; }, {}, 60, activity), EventWait::TimedOut);
  EXPECT_GE(ticks, 10);
  EXPECT_GE(t.elapsed(), 200 + 59);
}

TEST(EventWait, DoneDuringActivityWins) {
  int ticks = 0;
  QTimer pulse;
  QObject::connect(&pulse, &QTimer::timeout, [&] { ++ticks; });
  pulse.start(5);
  EXPECT_EQ(EventWait::Until([&] { return ticks >= 5; }, {}, 60000, [] { return true; }), EventWait::Done);
}
