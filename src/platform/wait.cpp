#include "platform/wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace vessamo::platform {

bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline)
{
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
    return true;
}

} // namespace vessamo::platform
