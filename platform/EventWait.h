#pragma once
// Blocking waits of the mail engine: run the event loop until the awaited flag is set, an abort
// is signalled or the deadline passes. The loop sleeps until an event arrives (socket notifier,
// timer, posted event); it never polls at a fixed interval.
#include <functional>

namespace vrl {

class EventWait {
 public:
  enum Result { Done, Aborted, TimedOut };
  using Pred = std::function<bool()>;

  // done: the awaited condition. aborted: may be empty. timeoutMs <= 0 times out at once unless
  // done already holds. activity: may be empty; when it returns true the deadline starts again
  // (a silence time-out). The predicates are checked after every batch of events.
  static Result Until(const Pred& done, const Pred& aborted, int timeoutMs,
                      const Pred& activity = Pred());
};

}  // namespace vrl
