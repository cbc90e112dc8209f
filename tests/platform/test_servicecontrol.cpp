// The service control: the unit it installs, systemctl calls through a fake, and the
// start and stop notifications over a real $NOTIFY_SOCKET datagram socket.
#include "platform/servicecontrol.h"
#include "platform/wait.h"
#include "support/fakesystemctl.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vessamo;

namespace {

void identify(platform::ServiceControl &service)
{
    service.DisplayName = QStringLiteral("Postiera Vessamo a SMTP.");
    service.ServiceName = QStringLiteral("Vessamo");
    service.setExecutablePath(QStringLiteral("/opt/vessamo dir/vessamo"));
}

// A datagram socket standing in for systemd's notification socket.
class NotifyListener
{
public:
    NotifyListener()
    {
        path_ = dir_.filePath(QStringLiteral("notify")).toLocal8Bit();
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path_.constData(), static_cast<size_t>(path_.size()));
        ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        env_ = std::make_unique<test::ScopedEnv>("NOTIFY_SOCKET", path_);
    }
    ~NotifyListener() { ::close(fd_); }
    QByteArrayList messages()
    {
        QByteArrayList out;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            out << QByteArray(buffer, static_cast<int>(n));
        }
        return out;
    }

private:
    QTemporaryDir dir_;
    QByteArray path_;
    int fd_ = -1;
    std::unique_ptr<test::ScopedEnv> env_;
};

} // namespace

TEST(ServiceControl, InstallWritesTheUnitAndEnablesIt)
{
    test::FakeSystemctl systemctl;
    platform::ServiceControl service;
    identify(service);
    ASSERT_TRUE(service.Install());
    QFile unit(QDir(systemctl.unitDir()).filePath(QStringLiteral("vessamo.service")));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(unit.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Type=notify\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("Description=Postiera Vessamo a SMTP.\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("ExecStart=\"/opt/vessamo dir/vessamo\"\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("WantedBy=multi-user.target\n")));
    EXPECT_EQ(
        systemctl.calls(),
        (QStringList {QStringLiteral("daemon-reload"), QStringLiteral("enable vessamo.service")}));

    ASSERT_TRUE(service.Uninstall());
    EXPECT_FALSE(unit.exists());
    EXPECT_EQ(
        systemctl.calls().mid(2),
        (QStringList {QStringLiteral("disable vessamo.service"), QStringLiteral("daemon-reload")}));
    // Nothing left to remove.
    EXPECT_FALSE(service.Uninstall());
}

TEST(ServiceControl, InstallFailsWithoutSystemctlOrWritableFolder)
{
    {
        test::FakeSystemctl systemctl;
        test::ScopedEnv dir("VESSAMO_UNIT_DIR", "/nonexistent/units");
        platform::ServiceControl service;
        identify(service);
        EXPECT_FALSE(service.Install());
    }
    QTemporaryDir empty;
    test::ScopedEnv path("PATH", empty.path().toLocal8Bit());
    test::ScopedEnv dir("VESSAMO_UNIT_DIR", empty.path().toLocal8Bit());
    platform::ServiceControl service;
    identify(service);
    EXPECT_FALSE(service.Install());
}

TEST(ServiceControl, OutsideSystemdTheDispatcherDeliversNoStart)
{
    test::ScopedEnv env("NOTIFY_SOCKET", QByteArray());
    platform::ServiceControl service;
    bool started = false;
    bool finished = false;
    QObject::connect(&service, &platform::ServiceControl::Start, [&](bool *) { started = true; });
    QObject::connect(&service, &platform::ServiceControl::dispatcherFinished,
                     [&] { finished = true; });
    service.StartService();
    ASSERT_TRUE(platform::waitUntil([&] { return finished; }, QDeadlineTimer(2000)));
    EXPECT_FALSE(started);
    EXPECT_FALSE(service.Running());
}

TEST(ServiceControl, StartAndStopNotificationsReachTheServiceManager)
{
    for (bool success : {true, false}) {
        NotifyListener listener;
        platform::ServiceControl service;
        QObject::connect(&service, &platform::ServiceControl::Start,
                         [&](bool *ok) { *ok = success; });
        bool finished = false;
        QObject::connect(&service, &platform::ServiceControl::dispatcherFinished,
                         [&] { finished = true; });
        service.StartService();
        ASSERT_TRUE(platform::waitUntil([&] { return finished; }, QDeadlineTimer(2000)));
        EXPECT_EQ(service.Running(), success);
        if (!success) {
            EXPECT_TRUE(listener.messages().isEmpty());
            continue;
        }
        EXPECT_EQ(listener.messages(), QByteArrayList {"READY=1"});
        int stops = 0;
        QObject::connect(&service, &platform::ServiceControl::Stop, [&] { ++stops; });
        service.deliverStop();
        EXPECT_EQ(stops, 1);
        EXPECT_EQ(listener.messages(), QByteArrayList {"STOPPING=1"});
        EXPECT_FALSE(service.Running());
    }
}
