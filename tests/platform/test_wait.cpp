// The nested wait under both of Qt's Unix event dispatchers (this binary runs once as is
// and once with QT_NO_GLIB=1): it sleeps, ends at once on a condition met by a posted
// event or on a stop request, keeps its deadline, and lets nested loops sleep too.
#include "platform/wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <ctime>
#include <gtest/gtest.h>

using vessamo::platform::waitUntil;

namespace {

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
        qint64 nestedMs = -1, nestedCpu = -1;
        post([&] {
            outerDone = true;
            QElapsedTimer clock;
            clock.start();
            const std::clock_t cpuBefore = std::clock();
            nested();
            nestedMs = clock.elapsed();
            nestedCpu = (std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
        });
        ASSERT_TRUE(waitUntil([&] { return outerDone; }, QDeadlineTimer(20000))) << name;
        EXPECT_GE(nestedMs, 299) << name;
        EXPECT_LT(nestedCpu, 150) << name << " spun";
    }
}
