#include "socket/Test_Com.h"

#include "EventWait.h"
#include "socket/IcmpEcho.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <exception>

namespace {
constexpr int kReplyTimeoutMs = 200;
constexpr int kPauseMs = 10;

qint64 MonotonicMs() {
  static QElapsedTimer started = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  return started.elapsed();
}
}  // namespace

struct Test_Com::Impl {
  EchoFunction echo_;
  ClockFunction clock_;
  bool echoOnce(const QString& host);
  static void servePause();
};

Test_Com::Test_Com() : d_(std::make_unique<Impl>()) {}
Test_Com::~Test_Com() = default;

void Test_Com::SetEchoFunction(EchoFunction echo) { d_->echo_ = std::move(echo); }
void Test_Com::SetClockFunction(ClockFunction clock) { d_->clock_ = std::move(clock); }

bool Test_Com::Impl::echoOnce(const QString& host) {
  try {
    vrl::IcmpReply reply;
    return echo_ ? echo_(host, kReplyTimeoutMs, &reply) : vrl::IcmpEcho(host, kReplyTimeoutMs, &reply);
  } catch (const std::exception&) {
    return false;
  }
}

// Lets pending events run, then keeps the loop running for the pause; wakes only on events.
void Test_Com::Impl::servePause() {
  QCoreApplication::processEvents();
  vrl::EventWait::Until([] { return false; }, {}, kPauseMs);
}

bool Test_Com::TestHost(QString& HostName, qint16& TimeOutSec, qint16& NRetrails) {
  try {
    if (TimeOutSec <= 0 && NRetrails <= 0) return false;
    const QString host = HostName.trimmed();
    if (TimeOutSec < 1) {
      for (int attempt = 1; attempt <= NRetrails; ++attempt) {
        Impl::servePause();
        if (d_->echoOnce(host)) return true;
      }
      return false;
    }
    const auto now = [this] { return d_->clock_ ? d_->clock_() : MonotonicMs(); };
    const qint64 deadline = now() + qint64(TimeOutSec) * 1000;
    for (;;) {
      if (d_->echoOnce(host)) return true;
      if (now() >= deadline) return false;
      Impl::servePause();
    }
  } catch (...) {
    return false;
  }
}
