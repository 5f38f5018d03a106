#pragma once
// Waits for a condition that may change without an event of this process (a file another
// process writes, a bus reply): runs the event loop and checks every few milliseconds, up to ms.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>

namespace vrltest {

inline bool PollFor(const std::function<bool()>& pred, int ms = 10000) {
  const QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

}  // namespace vrltest
