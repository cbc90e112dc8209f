// The main window's timing logic with a fake tray and a fake run: when runs start, that
// they never overlap, and the refusals of the start routine.
#include "config/configuracio.h"
#include "shell/frmmain.h"
#include "support/eventlogfile.h"
#include "support/tempenv.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vessamo;
using config::Configuracio;

namespace {

struct FakeTray : shell::TrayView
{
    void add(const QString &tip) override
    {
        shown = true;
        lastTip = tip;
        ++adds;
    }
    void remove() override { shown = false; }
    bool shown = false;
    QString lastTip;
    int adds = 0;
};

class MainTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config::resetConfiguration();
        Configuracio.NumBusties = 1;
        config::Busties.assign(
            1,
            config::Bustia {
                QStringLiteral("pop"), 110, QStringLiteral("ana"), {}, QStringLiteral("ana")});
        Configuracio.ServidorSMTP = QStringLiteral("smtp.example");
        hooks.runRouting = [this] {
            ++runs;
            duringRun.push_back({tray.shown, main->timerEnviar().isActive()});
            if (onRun)
                onRun();
        };
        hooks.showConfiguration = [this] {
            ++dialogs;
            if (onConfig)
                onConfig();
        };
        hooks.quit = [this] { ++quits; };
        main = std::make_unique<shell::frmMain>(service, tray, hooks);
    }
    void TearDown() override { config::resetConfiguration(); }

    void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            main->timerEnviar_Timer();
    }
    // Arms the timer and icon as a successful start does, without a file.
    void started(int interval)
    {
        Configuracio.Interval = static_cast<qint16>(interval);
        main->timerEnviar().setInterval(60000);
        main->timerEnviar().start();
        tray.add(shell::frmMain::tipText(interval));
    }

    platform::ServiceControl service;
    FakeTray tray;
    shell::MainHooks hooks;
    std::unique_ptr<shell::frmMain> main;
    int runs = 0;
    int dialogs = 0;
    int quits = 0;
    std::vector<std::pair<bool, bool>> duringRun;
    std::function<void()> onRun;
    std::function<void()> onConfig;
};

} // namespace

TEST_F(MainTest, IntervalOneRunsAtEveryTick)
{
    started(1);
    ticks(3);
    EXPECT_EQ(runs, 3);
    // During each run the icon is gone and the timer off; afterwards both are back.
    for (auto [icon, timer] : duringRun) {
        EXPECT_FALSE(icon);
        EXPECT_FALSE(timer);
    }
    EXPECT_TRUE(tray.shown);
    EXPECT_TRUE(main->timerEnviar().isActive());
}

TEST_F(MainTest, ReadNowAfterThreeOfFiveMinutesThenFullIntervalAgain)
{
    started(5);
    ticks(3);
    EXPECT_EQ(runs, 0);
    main->mnuEnrutarAra_Click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(main->minuteCounter(), 0);
    ticks(4);
    EXPECT_EQ(runs, 1);
    ticks(1);
    EXPECT_EQ(runs, 2);
}

TEST_F(MainTest, ZeroOrNegativeIntervalRunsAtEveryTick)
{
    for (int interval : {0, -1, -32768}) {
        runs = 0;
        started(interval);
        ticks(2);
        EXPECT_EQ(runs, 2) << interval;
    }
}

TEST_F(MainTest, ReadNowWithTheLargestIntervalDoesNotOverflow)
{
    started(32767);
    main->mnuEnrutarAra_Click();
    EXPECT_EQ(runs, 1);
    ticks(32766);
    EXPECT_EQ(runs, 1);
    ticks(1);
    EXPECT_EQ(runs, 2);
}

TEST_F(MainTest, ConfigurationKeepsTheCounterAndRebuildsTheTip)
{
    started(5);
    ticks(3);
    onConfig = [this] {
        EXPECT_FALSE(tray.shown);
        EXPECT_FALSE(main->timerEnviar().isActive());
        Configuracio.Interval = 2;
    };
    main->mnuConfiguracio_Click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(main->minuteCounter(), 3);
    EXPECT_TRUE(tray.shown);
    EXPECT_TRUE(main->timerEnviar().isActive());
    EXPECT_EQ(tray.lastTip, QStringLiteral("Vessamo\nInterval enrutament: 2 minuts"));
    ticks(1);
    EXPECT_EQ(runs, 1);
}

TEST_F(MainTest, ConfigurationLeavesAStoppedTimerStopped)
{
    Configuracio.Interval = 5;
    main->mnuConfiguracio_Click();
    EXPECT_FALSE(main->timerEnviar().isActive());
    EXPECT_EQ(tray.lastTip, QStringLiteral("Vessamo\nInterval enrutament: 5 minuts"));
}

TEST_F(MainTest, NoSecondRunWhileOneRuns)
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

TEST_F(MainTest, CloseStandaloneRemovesIconAndQuits)
{
    started(5);
    main->mnuTancar_Click();
    EXPECT_FALSE(tray.shown);
    EXPECT_EQ(quits, 1);
    // Nothing starts after the close.
    main->mnuEnrutarAra_Click();
    EXPECT_EQ(runs, 0);
}

TEST_F(MainTest, CloseDuringARunEndsWithoutRearming)
{
    started(1);
    onRun = [this] { main->mnuTancar_Click(); };
    ticks(1);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(tray.shown);
    EXPECT_FALSE(main->timerEnviar().isActive());
}

TEST_F(MainTest, StopNotificationRemovesTheIcon)
{
    started(5);
    main->onStop();
    EXPECT_FALSE(tray.shown);
    EXPECT_FALSE(main->timerEnviar().isActive());
}

TEST(TipText, IntervalWrittenInDecimal)
{
    EXPECT_EQ(shell::frmMain::tipText(120),
              QStringLiteral("Vessamo\nInterval enrutament: 120 minuts"));
    EXPECT_EQ(shell::frmMain::tipText(5), QStringLiteral("Vessamo\nInterval enrutament: 5 minuts"));
}

// The start routine against real configuration files.
class ArrencarTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config::resetConfiguration();
        path = dir.filePath(QStringLiteral("vessamo.vsm"));
        logPath = dir.filePath(QStringLiteral("events.log"));
        configEnv = std::make_unique<test::ScopedEnv>("VESSAMO_CONFIG", path.toLocal8Bit());
        logEnv = std::make_unique<test::ScopedEnv>("VESSAMO_EVENTLOG", logPath.toLocal8Bit());
        minuteEnv = std::make_unique<test::ScopedEnv>("VESSAMO_MINUTE_MS", "250");
    }
    void TearDown() override { config::resetConfiguration(); }

    void save(int mailboxes, const QString &smtp)
    {
        config::VersioConfiguracio = 2;
        Configuracio.Interval = 7;
        Configuracio.ServidorSMTP = smtp;
        Configuracio.NumBusties = static_cast<qint16>(mailboxes);
        config::Busties.assign(std::max(mailboxes, 1), config::Bustia {});
        ASSERT_TRUE(config::GravarConfiguracio(path));
        config::resetConfiguration();
    }
    QString loggedText() { return test::eventLogTexts(logPath).join(u'|'); }

    QTemporaryDir dir;
    QString path;
    QString logPath;
    std::unique_ptr<test::ScopedEnv> configEnv, logEnv, minuteEnv;
    platform::ServiceControl service;
    FakeTray tray;
};

TEST_F(ArrencarTest, RefusalsAreLoggedAndAddNoIcon)
{
    struct Row
    {
        int mailboxes;
        const char16_t *smtp;
        bool writeFile;
        const char16_t *log;
    };
    const Row rows[] = {
        {0, u"smtp", true, u"Arrencant: No hi ha cap bústia definida"},
        {-2, u"smtp", true, u"Arrencant: No hi ha cap bústia definida"},
        {1, u"   ", true, u"Arrencant: No s'ha definit el servidor SMTP"},
        {1, u"", true, u"Arrencant: No s'ha definit el servidor SMTP"},
        {1, u"smtp", false, u"Configurant: Fitxer de configuració inexistent"},
    };
    for (const Row &row : rows) {
        QFile::remove(path);
        QFile::remove(logPath);
        if (row.writeFile)
            save(row.mailboxes, QString::fromUtf16(row.smtp));
        shell::frmMain main(service, tray, {});
        EXPECT_FALSE(main.Arrencar());
        EXPECT_TRUE(main.startDone());
        EXPECT_EQ(tray.adds, 0);
        EXPECT_FALSE(main.timerEnviar().isActive());
        EXPECT_EQ(loggedText(), QString::fromUtf16(row.log));
    }
}

TEST_F(ArrencarTest, SuccessArmsTheTimerAndAddsTheIcon)
{
    save(1, QStringLiteral("127.0.0.1"));
    shell::frmMain main(service, tray, {});
    ASSERT_TRUE(main.Arrencar());
    EXPECT_EQ(config::VersioConfiguracio, 2);
    EXPECT_TRUE(main.startDone());
    EXPECT_TRUE(main.timerEnviar().isActive());
    EXPECT_EQ(main.timerEnviar().interval(), 250);
    EXPECT_EQ(tray.lastTip, QStringLiteral("Vessamo\nInterval enrutament: 7 minuts"));
    EXPECT_TRUE(loggedText().isEmpty());
}
