#pragma once
// The one source of "now" for the whole system, so that tests can fix the clock.
#include <QDateTime>
#include <functional>

namespace vrl {

// Local date and time now (or the test clock's value).
QDateTime Now();

// Replaces the clock; an empty function restores the system clock. Hidden in every binary, so
// the mail engine library never exports it although it carries this file's code: a test sets
// its own copy, and the library's calls of Now reach the program's Now, which preempts its own.
[[gnu::visibility("hidden")]] void SetNowForTesting(std::function<QDateTime()> clock);

// Offset of local time from UTC in seconds at the given moment (tm_gmtoff).
int UtcOffsetSeconds(const QDateTime& when);

}  // namespace vrl
