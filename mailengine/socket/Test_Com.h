#pragma once
// Host reachability test: does a host answer ICMP echo requests within a number of attempts or
// a time limit? Used to wake the route to a mail server and by the connection test dialog.
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>

#include "vrlime_export.h"

namespace vrl {
struct IcmpReply;
}

class VRLIME_EXPORT Test_Com {
 public:
  // One echo request: host, reply time-out in ms, reply details (may be null).
  using EchoFunction = std::function<bool(const QString& host, int timeoutMs, vrl::IcmpReply* reply)>;
  // Monotonic milliseconds.
  using ClockFunction = std::function<qint64()>;

  Test_Com();
  ~Test_Com();

  // True as soon as one echo request is answered. TimeOutSec < 1: up to NRetrails requests
  // (attempt mode); else requests until TimeOutSec seconds have passed (time mode). Both <= 0:
  // false without a request. Each request waits up to 200 ms for its reply; the event loop is
  // served for 10 ms between requests. Never throws.
  bool TestHost(QString& HostName, qint16& TimeOutSec, qint16& NRetrails);

  // Tests replace the echo request and the clock; empty functions restore the real ones.
  VRLIME_NO_EXPORT void SetEchoFunction(EchoFunction echo);
  VRLIME_NO_EXPORT void SetClockFunction(ClockFunction clock);

 private:
  struct VRLIME_NO_EXPORT Impl;
  std::unique_ptr<Impl> d_;
};
