#include "Clock.h"

#include <ctime>

namespace vrl {
namespace {
std::function<QDateTime()>& ClockFn() {
  static std::function<QDateTime()> fn;
  return fn;
}
}  // namespace

QDateTime Now() {
  auto& fn = ClockFn();
  return fn ? fn() : QDateTime::currentDateTime();
}

void SetNowForTesting(std::function<QDateTime()> clock) { ClockFn() = std::move(clock); }

int UtcOffsetSeconds(const QDateTime& when) {
  time_t t = static_cast<time_t>(when.toSecsSinceEpoch());
  struct tm local {};
  if (!localtime_r(&t, &local)) return 0;
  return static_cast<int>(local.tm_gmtoff);
}

}  // namespace vrl
