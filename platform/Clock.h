#pragma once
// The one source of "now" for the whole system, so that tests can fix the clock.
#include <QDateTime>
#include <functional>

namespace vrl {

// Local date and time now (or the test clock's value).
QDateTime Now();

// Replaces the clock; an empty function restores the system clock.
void SetNowForTesting(std::function<QDateTime()> clock);

// Offset of local time from UTC in seconds at the given moment (tm_gmtoff).
int UtcOffsetSeconds(const QDateTime& when);

}  // namespace vrl
