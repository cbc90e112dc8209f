// The one way the program waits: a nested event loop that sleeps until an event arrives
// or the deadline passes, re-testing a condition after each batch of events. Socket
// events, timers and signals are delivered inside the wait; no processor time is used
// while nothing happens. Deadlines are monotonic, so a wait across midnight lasts its
// full time.
#pragma once

#include "platform/stopsource.h"

#include <QDeadlineTimer>
#include <functional>

namespace vessamo::platform {

// True when `done` became true, false when the deadline passed first or a stop was
// requested through `stop` (checked as often as `done`).
bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline,
               const StopSource *stop = nullptr);

// For what gives no event when it becomes possible (a lock another process holds): tries
// `attempt` now, then every `everyMs` while it returns false, asleep in between. True once
// it returned true; false at the deadline or on a stop request.
bool retryUntil(const std::function<bool()> &attempt, int everyMs, QDeadlineTimer deadline,
                const StopSource *stop = nullptr);

} // namespace vessamo::platform
