// The built program as an administrator runs it: headless, with its switches, signals and
// exit statuses.
#include "config/configuracio.h"
#include "platform/wait.h"
#include "support/eventlogfile.h"
#include "support/fakepop3.h"
#include "support/fakesmtp.h"
#include "support/fakesystemctl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vessamo;

namespace {

// A run shows the mailbox it reads.
const char kRunLine[] = "Llegint correu de usuari";

class ProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config::resetConfiguration();
        configPath = dir.filePath(QStringLiteral("vessamo.vsm"));
        logPath = dir.filePath(QStringLiteral("events.log"));
        env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("VESSAMO_CONFIG"), configPath);
        env.insert(QStringLiteral("VESSAMO_EVENTLOG"), logPath);
        env.insert(QStringLiteral("VESSAMO_MINUTE_MS"), QStringLiteral("100"));
    }
    void TearDown() override
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
        config::resetConfiguration();
    }

    // A configuration aimed at the fake servers of the test, with its folders.
    void writeConfig(int interval, int mailboxes, const QString &smtp)
    {
        config::VersioConfiguracio = 2;
        config::Configuracio.Interval = static_cast<qint16>(interval);
        config::Configuracio.ServidorSMTP = smtp;
        config::Configuracio.PortSMTP = static_cast<qint16>(smtpServer.port());
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            QDir(dir.path()).mkpath(QString::fromLatin1(name));
        config::Configuracio.CarpetaCua = dir.filePath(QStringLiteral("Cua/"));
        config::Configuracio.CarpetaSiEnviats = dir.filePath(QStringLiteral("SiEnviats/"));
        config::Configuracio.CarpetaNoEnviats = dir.filePath(QStringLiteral("NoEnviats/"));
        config::Configuracio.CarpetaSpam = dir.filePath(QStringLiteral("SPam/"));
        config::Configuracio.NumBusties = static_cast<qint16>(mailboxes);
        config::Busties.assign(std::max(mailboxes, 1),
                               config::Bustia {QStringLiteral("127.0.0.1"),
                                               static_cast<qint16>(pop3Server.port()),
                                               QStringLiteral("usuari"), QStringLiteral("secret"),
                                               QStringLiteral("joan@example.net")});
        ASSERT_TRUE(config::GravarConfiguracio(configPath));
    }
    void start(const QStringList &args)
    {
        process.setProcessEnvironment(env);
        // ctest names the binary; run by hand, it sits at the top of the build tree.
        QString binary = qEnvironmentVariable("VESSAMO_BINARY");
        if (binary.isEmpty())
            binary = QCoreApplication::applicationDirPath() + QStringLiteral("/../../vessamo");
        process.start(binary, args);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    // Waits for the end with the event loop; the exit status, or -1 on time-out.
    int finish(int ms = 10000)
    {
        if (!platform::waitUntil([&] { return process.state() == QProcess::NotRunning; },
                                 QDeadlineTimer(ms)))
            return -1;
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
    int countRuns()
    {
        out += process.readAllStandardOutput();
        return static_cast<int>(QString::fromUtf8(out).count(QString::fromUtf8(kRunLine)));
    }
    // The signal handlers are in place once the kernel shows SIGUSR1 as caught.
    bool handlersInstalled() { return test::signalHandled(process.processId(), SIGUSR1, 10000); }
    QString logged() { return test::eventLogTexts(logPath).join(u'|'); }

    QTemporaryDir dir;
    test::FakePop3 pop3Server;
    test::FakeSmtpServer smtpServer;
    QString configPath, logPath;
    QProcessEnvironment env;
    QProcess process;
    QByteArray out, err;
};

} // namespace

TEST_F(ProcessTest, StandaloneTicksRunsOnSignalAndStopsOnTerm)
{
    writeConfig(3, 1, QStringLiteral("127.0.0.1"));
    start({QStringLiteral("/E")});
    // Interval 3 at 100 ms a tick: runs keep coming by themselves.
    ASSERT_TRUE(platform::waitUntil([&] { return countRuns() >= 2; }, QDeadlineTimer(10000)))
        << out.constData();
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(logged().isEmpty());
}

TEST_F(ProcessTest, ReadNowSignalStartsARunAtOnce)
{
    // An interval no test waits for: only the signal can start a run.
    writeConfig(30000, 1, QStringLiteral("127.0.0.1"));
    start({QStringLiteral("/e")});
    ASSERT_TRUE(handlersInstalled());
    EXPECT_EQ(countRuns(), 0);
    // A signal during a run is ignored, so each one waits for the end of the run before.
    auto sessionsEnded = [&] {
        out += process.readAllStandardOutput();
        return out.count("+OK bye");
    };
    for (int expected = 1; expected <= 2; ++expected) {
        ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
        ASSERT_TRUE(platform::waitUntil(
            [&] { return countRuns() == expected && sessionsEnded() == expected; },
            QDeadlineTimer(10000)))
            << out.constData();
        // The queue pass and the purge of an empty queue follow the session at once.
        platform::waitUntil([] { return false; }, QDeadlineTimer(300));
    }
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(countRuns(), 2);
}

// A stop during a run does not wait for the run's safety timer: the run ends at its next
// check, and the message it was reading stays on the server.
TEST_F(ProcessTest, TermDuringARunEndsTheProcessPromptly)
{
    pop3Server.addMessage("Received: x\r\nFrom: a@b.c\r\n\r\nbody\r\n");
    pop3Server.setSilent("RETR");
    writeConfig(30000, 1, QStringLiteral("127.0.0.1"));
    start({QStringLiteral("/E")});
    ASSERT_TRUE(handlersInstalled());
    ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
    ASSERT_TRUE(platform::waitUntil(
        [&] {
            out += process.readAllStandardOutput();
            return out.contains("RETR 1");
        },
        QDeadlineTimer(10000)));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_EQ(finish(5000), 0);
    EXPECT_EQ(pop3Server.messages().size(), 1);
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("Cua"))).entryList(QDir::Files).isEmpty());
}

TEST_F(ProcessTest, RefusedStartsEndWithStatusOneAndALogEntry)
{
    struct Row
    {
        int mailboxes;
        const char16_t *smtp;
        const char16_t *log;
    };
    const Row rows[] = {
        {0, u"127.0.0.1", u"Arrencant: No hi ha cap bústia definida"},
        {2, u"  ", u"Arrencant: No s'ha definit el servidor SMTP"},
    };
    for (const Row &row : rows) {
        QFile::remove(logPath);
        writeConfig(5, row.mailboxes, QString::fromUtf16(row.smtp));
        start({QStringLiteral("/E")});
        EXPECT_EQ(finish(), 1);
        EXPECT_EQ(logged(), QString::fromUtf16(row.log));
    }
    QFile::remove(logPath);
    QFile::remove(configPath);
    start({QStringLiteral("/E")});
    EXPECT_EQ(finish(), 1);
    EXPECT_EQ(logged(), QStringLiteral("Configurant: Fitxer de configuració inexistent"));
}

TEST_F(ProcessTest, ServiceModeOutsideSystemdSaysSoAndEnds)
{
    writeConfig(5, 1, QStringLiteral("127.0.0.1"));
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(err.contains("/E")) << err.constData();
    EXPECT_TRUE(logged().isEmpty());
}

TEST_F(ProcessTest, ServiceModeUnderANotifySocket)
{
    writeConfig(5, 1, QStringLiteral("127.0.0.1"));
    const QByteArray socketPath = dir.filePath(QStringLiteral("notify")).toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<size_t>(socketPath.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    auto receive = [fd] {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? QByteArray(buffer, static_cast<int>(n)) : QByteArray();
    };
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socketPath));
    start({});
    QByteArray message;
    ASSERT_TRUE(test::eventually([&] { return !(message = receive()).isEmpty(); }, 10000));
    EXPECT_EQ(message, QByteArray("READY=1"));
    ASSERT_TRUE(handlersInstalled());
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    EXPECT_EQ(finish(), 0);
    ASSERT_TRUE(test::eventually([&] { return !(message = receive()).isEmpty(); }, 5000));
    EXPECT_EQ(message, QByteArray("STOPPING=1"));

    // A refused start under the service manager fails with a non-zero status.
    writeConfig(5, 0, QStringLiteral("127.0.0.1"));
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(receive().isEmpty());
    ::close(fd);
}

TEST_F(ProcessTest, AdministrativeSwitchesPrintTheirBoxes)
{
    test::FakeSystemctl systemctl;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("VESSAMO_UNIT_DIR"), systemctl.unitDir());

    start({QStringLiteral("/A")});
    EXPECT_EQ(finish(), 1);
    EXPECT_EQ(err, QByteArray("El servei no està instal·lat\n"));

    out.clear();
    start({QStringLiteral("/c"), QStringLiteral("/i")});
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(out, QByteArray("Postiera Vessamo a SMTP. instal·lat correctament.\n"));

    out.clear();
    start({QStringLiteral("/a")});
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(out, QByteArray("Intent d'arrencada correcte.\n"));

    out.clear();
    start({QStringLiteral("/D")});
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(out, QByteArray("Postiera Vessamo a SMTP. desinstal·lat correctament.\n"));
}
