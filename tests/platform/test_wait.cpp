// The nested wait under both of Qt's Unix event dispatchers (this binary runs once as is
// and once with QT_NO_GLIB=1): it sleeps, ends at once on a condition met by a posted
// event or on a stop request, keeps its deadline, and lets nested loops sleep too.
#include "platform/wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
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

TEST(Wait, RunsUnderTheDispatcherAsked)
{
    const char *name = QAbstractEventDispatcher::instance()->metaObject()->className();
    EXPECT_EQ(QByteArray(name).contains("Glib"), !qEnvironmentVariableIsSet("QT_NO_GLIB")) << name;
}

// The plain Unix dispatcher used to sleep on to the deadline when the condition was met by
// an event posted by another posted event (the socket control hands out its events that
// way) or delivered by a handler's own processEvents().
TEST(Wait, ConditionMetByAPostedEventEndsTheWait)
{
    const std::pair<const char *, std::function<void(bool &)>> rows[] = {
        {"posted by a posted event", [](bool &done) { post([&] { post([&] { done = true; }); }); }},
        {"delivered by a nested processEvents",
         [](bool &done) {
             post([&] {
                 post([&] { done = true; });
                 QCoreApplication::processEvents();
             });
         }},
    };
    for (const auto &[name, start] : rows) {
        for (int round = 0; round < 10; ++round) {
            bool done = false;
            start(done);
            QElapsedTimer clock;
            clock.start();
            ASSERT_TRUE(waitUntil([&] { return done; }, QDeadlineTimer(20000))) << name;
            ASSERT_LT(clock.elapsed(), 10000) << name << ", round " << round;
        }
    }
}

// SIGTERM or the safety timer ends a wait whose condition never holds at once.
TEST(Wait, StopRequestEndsTheWait)
{
    vessamo::platform::StopSource stop;
    QTimer::singleShot(50, [&] { stop.request(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(waitUntil([] { return false; }, QDeadlineTimer(QDeadlineTimer::Forever), &stop));
    EXPECT_LT(clock.elapsed(), 5000);
}

// A wait or a dialog's loop nested inside a handler, while the outer condition is already
// met, keeps its own condition and deadline and sleeps (uses no processor time): the outer
// condition must not cut every sleep of the inner loop short.
TEST(Wait, NestedLoopsSleepWhileTheOuterConditionHolds)
{
    const std::pair<const char *, std::function<void()>> rows[] = {
        {"inner wait",
         [] {
             EXPECT_FALSE(waitUntil([] { return false; }, QDeadlineTimer(300, Qt::PreciseTimer)));
         }},
        {"event loop",
         [] {
             QEventLoop loop;
             QTimer::singleShot(300, Qt::PreciseTimer, &loop, &QEventLoop::quit);
             loop.exec();
         }},
    };
    for (const auto &[name, nested] : rows) {
        bool outerDone = false;
        qint64 nestedMs = -1;
        qint64 nestedCpu = -1;
        post([&] {
            outerDone = true;
            QElapsedTimer clock;
            clock.start();
            const qint64 cpuBefore = cpuMs();
            nested();
            nestedMs = clock.elapsed();
            nestedCpu = cpuMs() - cpuBefore;
        });
        ASSERT_TRUE(waitUntil([&] { return outerDone; }, QDeadlineTimer(20000))) << name;
        EXPECT_GE(nestedMs, 299) << name;
        EXPECT_LT(nestedCpu, 150) << name << " spun";
    }
}
