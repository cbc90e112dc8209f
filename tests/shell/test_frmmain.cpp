// The main window's timing logic with a fake tray and a fake run: when runs start, and
// that they never overlap. The start routine is tested on the built program.
#include "config/configuracio.h"
#include "shell/frmmain.h"

#include <gtest/gtest.h>
#include <tuple>

using namespace vessamo;

namespace {

struct FakeTray : shell::TrayView
{
    void add(const QString &tip) override
    {
        shown = true;
        lastTip = tip;
    }
    void remove() override { shown = false; }
    bool shown = false;
    QString lastTip;
};

class MainTest : public ::testing::Test
{
protected:
    // A new window, armed as a successful start arms it.
    void started(int interval)
    {
        runs = dialogs = quits = 0;
        config::Configuration configuration;
        configuration.Configuracio.Interval = static_cast<qint16>(interval);
        shell::MainHooks hooks;
        hooks.runRouting = [this](const config::Configuration &) {
            ++runs;
            // During a run the icon is gone and the timer off.
            EXPECT_FALSE(tray.shown);
            EXPECT_FALSE(main->timerEnviar().isActive());
            if (onRun)
                onRun();
        };
        hooks.showConfiguration = [this](config::Configuration &edited) {
            ++dialogs;
            EXPECT_FALSE(tray.shown);
            EXPECT_FALSE(main->timerEnviar().isActive());
            edited.Configuracio.Interval = 2;
        };
        hooks.quit = [this] { ++quits; };
        main = std::make_unique<shell::frmMain>(service, tray, hooks, configuration);
        main->timerEnviar().setInterval(60000);
        main->timerEnviar().start();
        tray.add(shell::frmMain::tipText(interval));
    }
    void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            main->timerEnviar_Timer();
    }

    platform::ServiceControl service;
    FakeTray tray;
    std::unique_ptr<shell::frmMain> main;
    int runs = 0;
    int dialogs = 0;
    int quits = 0;
    std::function<void()> onRun;
};

} // namespace

TEST_F(MainTest, ARunEveryIntervalTicksThenIconAndTimerAreBack)
{
    // The interval, the ticks, the runs that come.
    const std::tuple<int, int, int> rows[]
        = {{1, 3, 3}, {0, 2, 2}, {-1, 2, 2}, {-32768, 2, 2}, {5, 4, 0}, {5, 5, 1}, {5, 14, 2}};
    for (const auto &[interval, n, expected] : rows) {
        started(interval);
        ticks(n);
        EXPECT_EQ(runs, expected) << interval << " " << n;
        EXPECT_TRUE(tray.shown);
        EXPECT_TRUE(main->timerEnviar().isActive());
    }
}

TEST_F(MainTest, ReadNowRunsAtOnceAndRestartsTheCount)
{
    // The largest interval must not overflow the counter.
    for (int interval : {5, 32767}) {
        started(interval);
        ticks(3);
        main->mnuEnrutarAra_Click();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(main->minuteCounter(), 0);
        ticks(interval - 1);
        EXPECT_EQ(runs, 1);
        ticks(1);
        EXPECT_EQ(runs, 2) << interval;
    }
}

TEST_F(MainTest, ConfigurationKeepsTheCounterAndRebuildsTheTip)
{
    started(5);
    ticks(3);
    main->mnuConfiguracio_Click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(main->minuteCounter(), 3);
    EXPECT_TRUE(tray.shown);
    EXPECT_TRUE(main->timerEnviar().isActive());
    EXPECT_EQ(tray.lastTip, QStringLiteral("Vessamo\nInterval enrutament: 2 minuts"));
    ticks(1);
    EXPECT_EQ(runs, 1);
    // A timer that was off stays off.
    main->timerEnviar().stop();
    main->mnuConfiguracio_Click();
    EXPECT_FALSE(main->timerEnviar().isActive());
}

// The icon comes back after a run with the run's summary under the interval, and keeps it
// when the configuration changes the interval.
TEST_F(MainTest, TheTipShowsTheLastRunsSummary)
{
    started(5);
    onRun = [this] { main->showRunSummary(QStringLiteral("Darrera execució: 1 rebuts")); };
    main->mnuEnrutarAra_Click();
    EXPECT_EQ(tray.lastTip, shell::frmMain::tipText(5) + QStringLiteral("\nDarrera execució: 1 rebuts"));
    main->mnuConfiguracio_Click();
    EXPECT_EQ(tray.lastTip, shell::frmMain::tipText(2) + QStringLiteral("\nDarrera execució: 1 rebuts"));
}

TEST_F(MainTest, NothingStartsDuringARun)
{
    started(1);
    onRun = [this] {
        main->mnuEnrutarAra_Click();
        main->timerEnviar_Timer();
        main->mnuConfiguracio_Click();
    };
    main->mnuEnrutarAra_Click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(dialogs, 0);
}

TEST_F(MainTest, CloseOrStopRemovesTheIconForGood)
{
    // A close, also one during a run, or the service's stop: nothing rearms, nothing starts.
    for (int how = 0; how < 3; ++how) {
        started(1);
        const auto stop = [this, how] { how == 2 ? main->onStop() : main->mnuTancar_Click(); };
        onRun = how == 1 ? std::function<void()>(stop) : nullptr;
        if (how == 1)
            ticks(1);
        else
            stop();
        main->mnuEnrutarAra_Click();
        EXPECT_EQ(runs, how == 1 ? 1 : 0);
        EXPECT_EQ(quits, how == 2 ? 0 : 1);
        EXPECT_FALSE(tray.shown);
        EXPECT_FALSE(main->timerEnviar().isActive());
    }
}
