// The unit the service control installs and the systemctl calls it makes, through a fake
// systemctl. The start and stop notifications are tested on the running program
// (tests/shell/test_process.cpp).
#include "platform/servicecontrol.h"
#include "support/fakesystemctl.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace vessamo;
using namespace Qt::StringLiterals;

TEST(ServiceControl, InstallAndUninstall)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    service.ServiceName = u"Vessamo"_s;
    service.setExecutablePath(u"/opt/vessamo dir/vessamo"_s);
    ASSERT_TRUE(service.Install());
    QFile unit(QDir(systemctl.unitDir()).filePath(u"vessamo.service"_s));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    // systemd waits for READY=1 only from a notify service; the path has a blank.
    for (const char *line : {"\nType=notify\n", "\nExecStart=\"/opt/vessamo dir/vessamo\"\n",
                             "\nWantedBy=multi-user.target\n"})
        EXPECT_TRUE(text.contains(line)) << line;
    ASSERT_TRUE(service.Uninstall());
    EXPECT_FALSE(unit.exists());
    EXPECT_FALSE(service.Uninstall()); // nothing left to remove
    EXPECT_EQ(systemctl.calls(),
              QStringList({u"daemon-reload"_s, u"enable vessamo.service"_s,
                           u"disable vessamo.service"_s, u"daemon-reload"_s}));
    test::ScopedEnv path("PATH", "/nonexistent"); // no systemctl
    EXPECT_FALSE(service.Install());
}
