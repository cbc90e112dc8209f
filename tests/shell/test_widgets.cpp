// The windows on the offscreen platform: the about box, the icon's menu and the routing
// window.
#include "shell/frmabout.h"
#include "shell/logo.h"
#include "shell/qttray.h"
#include "shell/routingwindow.h"

#include <QDate>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <gtest/gtest.h>

using namespace vessamo::shell;

TEST(AboutBox, CaptionVersionNoticeAndCloseButton)
{
    for (int opening = 0; opening < 2; ++opening) {
        frmAbout about;
        EXPECT_EQ(about.windowTitle(), QStringLiteral("Sobre Vessamo"));
        auto *version = about.findChild<QLabel *>(QStringLiteral("lblVersio"));
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(version->text(), QStringLiteral("Vessamo Versió 2.0.10"));
        auto *notice = about.findChild<QLabel *>(QStringLiteral("lblNotice"));
        ASSERT_NE(notice, nullptr);
        EXPECT_TRUE(notice->text().contains(QString::number(QDate::currentDate().year())));
        auto *image = about.findChild<QLabel *>(QStringLiteral("Image1"));
        ASSERT_NE(image, nullptr);
        EXPECT_FALSE(image->pixmap().isNull());
        auto *close = about.findChild<QPushButton *>(QStringLiteral("cmbSortir"));
        ASSERT_NE(close, nullptr);
        EXPECT_EQ(close->toolTip(),
                  QStringLiteral("Tancar aquesta pantalla i entrar en el programa"));

        // Modal like from the menu; a click on the button closes it.
        QTimer::singleShot(0, close, [close] { QTest::mouseClick(close, Qt::LeftButton); });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &about, &QDialog::reject);
        guard.start(5000);
        EXPECT_EQ(about.exec(), QDialog::Accepted);
    }
}

TEST(AboutBox, CentredOnTheScreen)
{
    frmAbout about;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_NEAR(about.x(), screen.x() + (screen.width() - about.width()) / 2.0, 1.0);
    EXPECT_NEAR(about.y(), screen.y() + (screen.height() - about.height()) / 2.0, 1.0);
}

TEST(TrayMenu, FourItemsInOrderWithReadNowBold)
{
    QtTray tray;
    const QList<QAction *> actions = tray.mnuOpcions().actions();
    QStringList captions;
    for (QAction *action : actions)
        captions << action->text();
    EXPECT_EQ(
        captions,
        (QStringList {QStringLiteral("Configuració"), QStringLiteral("Llegir ara les busties"),
                      QStringLiteral("Sobre..."), QStringLiteral("Tancar")}));
    ASSERT_NE(tray.mnuOpcions().defaultAction(), nullptr);
    EXPECT_EQ(tray.mnuOpcions().defaultAction()->text(), QStringLiteral("Llegir ara les busties"));

    int readNow = 0, closes = 0;
    QObject::connect(&tray, &QtTray::readNowRequested, [&] { ++readNow; });
    QObject::connect(&tray, &QtTray::closeRequested, [&] { ++closes; });
    actions[1]->trigger();
    actions[3]->trigger();
    // The actions are delivered from the event loop, after the menu has closed.
    EXPECT_EQ(readNow, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(readNow, 1);
    EXPECT_EQ(closes, 1);

    tray.add(QStringLiteral("Vessamo\nInterval enrutament: 5 minuts"));
    EXPECT_EQ(tray.icon().toolTip(), QStringLiteral("Vessamo\nInterval enrutament: 5 minuts"));
    EXPECT_FALSE(tray.icon().icon().isNull());
}

TEST(RoutingWindow, ShowsStatusLabelAndProgress)
{
    RoutingWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Enrutant Correu"));
    window.open();
    EXPECT_TRUE(window.isVisible());
    window.addStatus(QStringLiteral("Connectant"));
    window.setLabel(QStringLiteral("Rebent ana"));
    window.setProgress(140);
    EXPECT_EQ(window.lstStatus->count(), 1);
    EXPECT_EQ(window.lblRebent->text(), QStringLiteral("Rebent ana"));
    EXPECT_EQ(window.pbProgres->value(), 100);
    window.close();
    EXPECT_FALSE(window.isVisible());
}

TEST(Logo, DrawnAtEverySize)
{
    for (int size : {16, 32, 64}) {
        const QImage image = logoPixmap(size).toImage();
        EXPECT_EQ(image.width(), size);
        // Not blank: some pixel is opaque.
        bool opaque = false;
        for (int y = 0; y < size && !opaque; ++y)
            for (int x = 0; x < size && !opaque; ++x)
                opaque = qAlpha(image.pixel(x, y)) == 255;
        EXPECT_TRUE(opaque) << size;
    }
}
