// The unit the service control installs and the systemctl calls it makes, through a fake
// systemctl. The start and stop notifications are tested on the running program
// (tests/shell/test_process.cpp).
#include "platform/routerpid.h"
#include "platform/servicecontrol.h"
#include "support/fakesystemctl.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

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

// The router's pid file is truncated and written, by root too: a name that leads to
// another file (a link of either kind) is refused and that file left as it was; a plain
// file of its own is claimed, and a second claim while the first holds it fails.
TEST(RouterPidFile, ClaimedOnlyAsAFileOfItsOwn)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString victim = dir.filePath(u"victim"_s);
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep me\n");
    file.close();
    const QString hard = dir.filePath(u"hard.pid"_s);
    const QString soft = dir.filePath(u"soft.pid"_s);
    ASSERT_EQ(::link(QFile::encodeName(victim).constData(), QFile::encodeName(hard).constData()),
              0);
    ASSERT_TRUE(QFile::link(victim, soft));
    EXPECT_FALSE(platform::claimRouterPidFile(hard).valid());
    EXPECT_FALSE(platform::claimRouterPidFile(soft).valid());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "keep me\n");

    const QString own = dir.filePath(u"vessamo.pid"_s);
    const platform::UniqueFd held = platform::claimRouterPidFile(own);
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(platform::claimRouterPidFile(own).valid());
}
