// /I, /D and /A against a fake systemctl: the calls made and the boxes shown, in order.
#include "shell/administracio.h"
#include "support/fakesystemctl.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace vessamo;

namespace {

struct FakePresenter : shell::Presenter
{
    void messageBox(const QString &text, shell::BoxIcon icon) override
    {
        boxes << text;
        icons.push_back(icon);
    }
    QStringList boxes;
    std::vector<shell::BoxIcon> icons;
};

void identify(platform::ServiceControl &service)
{
    service.DisplayName = QStringLiteral("Postiera Vessamo a SMTP.");
    service.ServiceName = QStringLiteral("Vessamo");
    service.setExecutablePath(QStringLiteral("/usr/bin/vessamo"));
}

} // namespace

TEST(Administracio, InstallThenRemove)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    identify(service);
    FakePresenter presenter;
    EXPECT_EQ(shell::installService(service, presenter), 0);
    EXPECT_EQ(shell::removeService(service, presenter), 0);
    EXPECT_EQ(shell::removeService(service, presenter), 1);
    EXPECT_EQ(
        presenter.boxes,
        (QStringList {QStringLiteral("Postiera Vessamo a SMTP. instal·lat correctament."),
                      QStringLiteral("Postiera Vessamo a SMTP. desinstal·lat correctament."),
                      QStringLiteral("Postiera Vessamo a SMTP. no desinstal·lat correctament.")}));
}

TEST(Administracio, InstallFailureIsReported)
{
    test::FakeSystemctl systemctl;
    QDir(systemctl.unitDir()).removeRecursively();
    platform::ServiceControl service;
    identify(service);
    FakePresenter presenter;
    EXPECT_EQ(shell::installService(service, presenter), 1);
    EXPECT_EQ(presenter.boxes,
              QStringList {QStringLiteral("Postiera Vessamo a SMTP. no instal·lat correctament.")});
}

TEST(Administracio, ToggleStartsThenStops)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    identify(service);
    FakePresenter presenter;
    ASSERT_TRUE(service.Install());

    EXPECT_EQ(shell::toggleService(service, presenter), 0);
    EXPECT_EQ(systemctl.activeState(), QByteArray("active"));
    EXPECT_EQ(shell::toggleService(service, presenter), 0);
    EXPECT_EQ(systemctl.activeState(), QByteArray("inactive"));
    EXPECT_EQ(presenter.boxes,
              (QStringList {QStringLiteral("Intent d'arrencada correcte."),
                            QStringLiteral("Intent d'aturada correcte.")}));
    EXPECT_EQ(presenter.icons[0], shell::BoxIcon::Information);
    EXPECT_EQ(systemctl.calls().mid(2),
              (QStringList {QStringLiteral("is-active vessamo.service"),
                            QStringLiteral("start vessamo.service"),
                            QStringLiteral("is-active vessamo.service"),
                            QStringLiteral("stop vessamo.service")}));
}

TEST(Administracio, ToggleRefusedRequestShowsTheCode)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    identify(service);
    ASSERT_TRUE(service.Install());
    systemctl.setRequestExitCode(5);
    FakePresenter presenter;
    EXPECT_EQ(shell::toggleService(service, presenter), 1);
    systemctl.setActiveState("active");
    EXPECT_EQ(shell::toggleService(service, presenter), 1);
    EXPECT_EQ(presenter.boxes,
              (QStringList {QStringLiteral("Codi d'error al intentar arrencar el servei: 5"),
                            QStringLiteral("Codi d'error al intentar aturar el servei: 5")}));
    EXPECT_EQ(presenter.icons[0], shell::BoxIcon::Stop);
}

TEST(Administracio, ToggleWhenNotInstalled)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    identify(service);
    FakePresenter presenter;
    EXPECT_EQ(shell::toggleService(service, presenter), 1);
    EXPECT_EQ(presenter.boxes, QStringList {QStringLiteral("El servei no està instal·lat")});
    // Only asked, never started.
    EXPECT_EQ(systemctl.calls(), QStringList {QStringLiteral("is-active vessamo.service")});
}
