#include "EventWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace vrl {

EventWait::Result EventWait::Until(const Pred& done, const Pred& aborted, int timeoutMs,
                                   const Pred& activity) {
  if (done()) return Done;
  if (aborted && aborted()) return Aborted;
  if (timeoutMs <= 0) return TimedOut;

  QDeadlineTimer deadline(timeoutMs);
  // The timer only exists to wake the loop when the deadline passes.
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(timeoutMs);
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
    if (done()) return Done;
    if (aborted && aborted()) return Aborted;
    if (activity && activity()) {
      deadline.setRemainingTime(timeoutMs);
      wake.start(timeoutMs);
      continue;
    }
    if (deadline.hasExpired()) return TimedOut;
    if (!wake.isActive()) wake.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
  }
}

}  // namespace vrl
