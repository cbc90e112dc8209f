// The nested wait under both of Qt's Unix event dispatchers (this binary runs once as is
// and once with QT_NO_GLIB=1): it must notice at once a condition met by a posted event,
// must not spin when a loop nested inside it outlives its condition, and must keep its
// deadline.
#include "platform/wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>

using vessamo::platform::waitUntil;

namespace {

// Processor time of this process in milliseconds.
qint64 cpuMs()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

void post(const std::function<void()> &call)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), call, Qt::QueuedConnection);
}

} // namespace

TEST(Wait, ReportsWhichDispatcherRuns)
{
    const char *name = QAbstractEventDispatcher::instance()->metaObject()->className();
    const bool wantUnix = qEnvironmentVariableIsSet("QT_NO_GLIB");
    EXPECT_EQ(QByteArray(name).contains("Glib"), !wantUnix) << name;
}

// A condition met by a posted event must end the wait at once, not after a sleep until
// the deadline. Two ways the plain Unix dispatcher used to sleep on: an event posted by
// another posted event (the socket control hands out its events that way, one a pass),
// and an event delivered by a handler's own non-blocking processEvents().
TEST(Wait, ConditionMetByAPostedEventEndsTheWait)
{
    struct Row
    {
        const char *name;
        std::function<void(bool &done)> start;
    };
    const Row rows[] = {
        {"posted by a posted event",
         [](bool &done) { post([&done] { post([&done] { done = true; }); }); }},
        {"chain of three",
         [](bool &done) { post([&done] { post([&done] { post([&done] { done = true; }); }); }); }},
        {"delivered by a nested processEvents",
         [](bool &done) {
             post([&done] {
                 post([&done] { done = true; });
                 QCoreApplication::processEvents();
             });
         }},
    };
    for (const Row &row : rows) {
        for (int round = 0; round < 10; ++round) {
            bool done = false;
            row.start(done);
            QElapsedTimer clock;
            clock.start();
            ASSERT_TRUE(waitUntil([&] { return done; }, QDeadlineTimer(20000))) << row.name;
            // A stall lasts the whole 20 s deadline; anything near it is the fault.
            ASSERT_LT(clock.elapsed(), 10000) << row.name << ", round " << round;
        }
    }
}

TEST(Wait, DeadlinePassesWhenTheConditionNeverHolds)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuBefore = cpuMs();
    EXPECT_FALSE(waitUntil([] { return false; }, QDeadlineTimer(300, Qt::PreciseTimer)));
    EXPECT_GE(clock.elapsed(), 299);
    EXPECT_LT(cpuMs() - cpuBefore, 150) << "the wait used the processor instead of sleeping";
}

// A stop requested by an event (SIGTERM, the safety timer) ends a wait whose condition
// never holds, at once rather than at its deadline.
TEST(Wait, StopRequestEndsTheWait)
{
    vessamo::platform::StopSource stop;
    QTimer::singleShot(50, [&] { stop.request(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(waitUntil([] { return false; }, QDeadlineTimer(QDeadlineTimer::Forever), &stop));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(stop.requested());
}

// An inner wait runs inside a handler while the outer condition becomes true: the inner
// one keeps its own condition and deadline, sleeping (an outer condition must not cut
// every sleep of the inner one short), and the outer one ends right after it.
TEST(Wait, InnerWaitIsNotCutShortForAnOuterCondition)
{
    bool outerDone = false;
    bool innerResult = true;
    qint64 innerMs = -1;
    qint64 innerCpu = -1;
    post([&] {
        outerDone = true;
        QElapsedTimer clock;
        clock.start();
        const qint64 cpuBefore = cpuMs();
        innerResult = waitUntil([] { return false; }, QDeadlineTimer(300, Qt::PreciseTimer));
        innerMs = clock.elapsed();
        innerCpu = cpuMs() - cpuBefore;
    });
    // The handler, inner wait included, has run by the time the outer wait sees its
    // condition: the condition is met from the start of the inner wait.
    ASSERT_TRUE(waitUntil([&] { return outerDone; }, QDeadlineTimer(20000)));
    ASSERT_GE(innerMs, 0);
    EXPECT_FALSE(innerResult);
    EXPECT_GE(innerMs, 299);
    EXPECT_LT(innerCpu, 150) << "the inner wait spun";
}

// The same for an event loop of another kind (a modal dialog's) nested inside a wait.
TEST(Wait, NestedEventLoopDoesNotSpinForAnOuterCondition)
{
    bool outerDone = false;
    qint64 loopCpu = -1;
    post([&] {
        outerDone = true;
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        const qint64 cpuBefore = cpuMs();
        loop.exec();
        loopCpu = cpuMs() - cpuBefore;
    });
    ASSERT_TRUE(waitUntil([&] { return outerDone; }, QDeadlineTimer(20000)));
    ASSERT_GE(loopCpu, 0);
    EXPECT_LT(loopCpu, 150) << "the nested loop spun";
}
