#include "platform/wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <vector>

namespace vessamo::platform {

namespace {

struct ActiveWait
{
    const std::function<bool()> *done;
    int loopLevel;
};

// The waits in progress on this thread, innermost last.
thread_local std::vector<ActiveWait> activeWaits;
thread_local QPointer<QAbstractEventDispatcher> hookedDispatcher;

// Qt's plain Unix dispatcher (QT_NO_GLIB=1, or a Qt built without GLib) delivers posted
// events first and then sleeps in poll() without returning. When one of those events
// meets the condition and its wake-up was already consumed (it was posted by an earlier
// posted event, as the socket control hands out its events, or delivered by a handler's
// own processEvents()), the wait would sleep on until the next socket event or its
// deadline. So, just before the dispatcher sleeps, the innermost wait re-tests its
// condition and cuts the sleep short when it is met. Only the innermost wait, and only
// from its own loop level: a wait or dialog nested inside must not be cut short for an
// outer one, or it would spin.
void hookDispatcher()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || hookedDispatcher == dispatcher)
        return;
    hookedDispatcher = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [dispatcher] {
        if (activeWaits.empty())
            return;
        const ActiveWait &wait = activeWaits.back();
        if (wait.loopLevel == QThread::currentThread()->loopLevel() && (*wait.done)())
            dispatcher->interrupt();
    });
}

class WaitRegistration
{
public:
    explicit WaitRegistration(const std::function<bool()> &done)
    {
        hookDispatcher();
        activeWaits.push_back({&done, QThread::currentThread()->loopLevel()});
    }
    ~WaitRegistration() { activeWaits.pop_back(); }
    WaitRegistration(const WaitRegistration &) = delete;
    WaitRegistration &operator=(const WaitRegistration &) = delete;
};

} // namespace

bool waitUntil(const std::function<bool()> &condition, QDeadlineTimer deadline,
               const StopSource *stop)
{
    const std::function<bool()> done = stop
        ? std::function<bool()>([&] { return condition() || stop->requested(); })
        : condition;
    const WaitRegistration registration(done);
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        if (!deadline.isForever()) {
            // The timer only wakes the loop; its own event does the rest.
            wake.start(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0)));
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return condition();
}

bool retryUntil(const std::function<bool()> &attempt, int everyMs, QDeadlineTimer deadline,
                const StopSource *stop)
{
    if (attempt())
        return true;
    QTimer retry;
    retry.start(everyMs);
    return waitUntil(attempt, deadline, stop);
}

} // namespace vessamo::platform
