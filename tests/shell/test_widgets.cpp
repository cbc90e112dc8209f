// The windows on the offscreen platform: the about box, the icon's menu and the routing
// window.
#include "shell/frmabout.h"
#include "shell/qttray.h"
#include "shell/routingwindow.h"

#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <gtest/gtest.h>

using namespace vessamo::shell;
using namespace Qt::StringLiterals;

TEST(AboutBox, CentredAndClosedByItsButton)
{
    frmAbout about;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_NEAR(about.x(), screen.x() + (screen.width() - about.width()) / 2.0, 1.0);
    EXPECT_NEAR(about.y(), screen.y() + (screen.height() - about.height()) / 2.0, 1.0);
    // Modal as from the menu; a click on the button closes it.
    auto *close = about.findChild<QPushButton *>(u"cmbSortir"_s);
    ASSERT_NE(close, nullptr);
    QTimer::singleShot(0, close, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    QTimer::singleShot(5000, &about, &QDialog::reject);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(TrayMenu, ItemsInOrderDeliveredAfterTheMenuCloses)
{
    QtTray tray;
    const QList<QAction *> actions = tray.mnuOpcions().actions();
    QString captions;
    for (QAction *action : actions)
        captions += action->text() + u'|';
    EXPECT_EQ(captions.toStdString(), "Configuració|Llegir ara les busties|Sobre...|Tancar|");
    EXPECT_EQ(tray.mnuOpcions().defaultAction(), actions.value(1));
    int readNow = 0, closes = 0;
    QObject::connect(&tray, &QtTray::readNowRequested, [&] { ++readNow; });
    QObject::connect(&tray, &QtTray::closeRequested, [&] { ++closes; });
    actions[1]->trigger();
    actions[3]->trigger();
    EXPECT_EQ(readNow, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(readNow, 1);
    EXPECT_EQ(closes, 1);
    tray.add(u"tip"_s);
    EXPECT_EQ(tray.icon().toolTip(), u"tip"_s);
    EXPECT_FALSE(tray.icon().icon().isNull());
}

TEST(RoutingWindow, ProgressStaysWithinItsRange)
{
    RoutingWindow window;
    window.setProgress(140);
    EXPECT_EQ(window.pbProgres->value(), 100);
    window.setProgressMaximum(-5);
    window.setProgress(-3);
    EXPECT_EQ(window.pbProgres->value(), 0);
}
