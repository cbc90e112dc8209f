// The built program as an administrator runs it: headless, with its switches, signals and
// exit statuses.
#include "programfixture.h"
#include "support/fakesystemctl.h"
#include "support/tempenv.h"

#include <QFile>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vessamo;
using ProcessTest = test::ProgramTest;

namespace {

// A run shows the mailbox it reads.
qsizetype runs(const QByteArray &out)
{
    return out.count("Llegint correu de usuari");
}

} // namespace

TEST_F(ProcessTest, RunsComeFromTheTimerAndEndOnTerm)
{
    // Interval 3 at 100 ms a minute: runs keep coming by themselves.
    writeConfig(3);
    start({QStringLiteral("/E")});
    ASSERT_TRUE(waitFor([&] { return runs(readOutput()) >= 2; })) << out.constData();
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(logged().isEmpty());
}

// A stop during a run does not wait for the run's safety timer: the run ends at its next
// check, and the message it was reading stays on the server.
TEST_F(ProcessTest, TermDuringARunEndsTheProcessPromptly)
{
    pop3.addMessage("Received: x\r\nFrom: a@b.c\r\n\r\nbody\r\n");
    pop3.setSilent("RETR");
    writeConfig(30000);
    start({QStringLiteral("/E")}, true);
    signal(SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return readOutput().contains("RETR 1"); }));
    signal(SIGTERM);
    EXPECT_EQ(finish(5000), 0);
    EXPECT_EQ(pop3.messages().size(), 1);
    EXPECT_TRUE(QDir(folder("Cua")).entryList(QDir::Files).isEmpty());
}

TEST_F(ProcessTest, RefusedStartsEndWithStatusOneAndALogEntry)
{
    const struct
    {
        int mailboxes; // -3: no configuration file
        const char *smtp;
        const char *log;
    } rows[] = {
        {-3, "", "Configurant: Fitxer de configuració inexistent"},
        {0, "127.0.0.1", "Arrencant: No hi ha cap bústia definida"},
        {-2, "127.0.0.1", "Arrencant: No hi ha cap bústia definida"},
        {1, "  ", "Arrencant: No s'ha definit el servidor SMTP"},
        {1, "", "Arrencant: No s'ha definit el servidor SMTP"},
    };
    for (const auto &row : rows) {
        QFile::remove(logPath);
        if (row.mailboxes > -3)
            writeConfig(5, row.mailboxes, QString::fromLatin1(row.smtp));
        start({QStringLiteral("/E")});
        EXPECT_EQ(finish(), 1);
        EXPECT_EQ(logged(), QString::fromUtf8(row.log));
    }
    // Service mode outside systemd says how to run without it.
    QFile::remove(logPath);
    writeConfig(5);
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(err.contains("/E")) << err.constData();
    EXPECT_TRUE(logged().isEmpty());
}

TEST_F(ProcessTest, ServiceModeUnderANotifySocket)
{
    writeConfig(5);
    const QByteArray socketPath = dir.filePath(QStringLiteral("notify")).toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<size_t>(socketPath.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    QByteArray message;
    auto received = [&](int ms) {
        return test::eventually(
            [&] {
                char buffer[256];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                message = n > 0 ? QByteArray(buffer, static_cast<int>(n)) : QByteArray();
                return n > 0;
            },
            ms);
    };
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socketPath));
    start({});
    ASSERT_TRUE(received(10000));
    EXPECT_EQ(message, QByteArray("READY=1"));
    ASSERT_TRUE(test::signalHandled(process.processId(), SIGUSR1, 10000));
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    ASSERT_TRUE(received(5000));
    EXPECT_EQ(message, QByteArray("STOPPING=1"));

    // A refused start under the service manager fails with a non-zero status.
    writeConfig(5, 0);
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_FALSE(received(0));
    ::close(fd);
}

// /I, /D and /A against a fake systemctl: the exit statuses, and the boxes printed (those
// with a stop sign on standard error).
TEST_F(ProcessTest, AdministrativeSwitchesPrintTheirBoxes)
{
    test::FakeSystemctl systemctl;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("VESSAMO_UNIT_DIR"), systemctl.unitDir());
    const struct
    {
        const char *args;
        int requestExit; // of systemctl start and stop
        int status;
        bool onStderr;
        const char *printed;
    } rows[] = {
        {"/A", 0, 1, true, "El servei no està instal·lat\n"},
        {"/c /i", 0, 0, false, "Postiera Vessamo a SMTP. instal·lat correctament.\n"},
        {"/a", 0, 0, false, "Intent d'arrencada correcte.\n"},
        {"/a", 0, 0, false, "Intent d'aturada correcte.\n"},
        {"/a", 5, 1, true, "Codi d'error al intentar arrencar el servei: 5\n"},
        {"/D", 0, 0, false, "Postiera Vessamo a SMTP. desinstal·lat correctament.\n"},
        {"/d", 0, 1, false, "Postiera Vessamo a SMTP. no desinstal·lat correctament.\n"},
    };
    for (const auto &row : rows) {
        systemctl.setRequestExitCode(row.requestExit);
        start(QString::fromLatin1(row.args).split(u' '));
        EXPECT_EQ(finish(), row.status);
        EXPECT_EQ(row.onStderr ? err : out, QByteArray(row.printed)) << row.args;
    }
    // Not installed, the service was only asked about, never started.
    EXPECT_EQ(systemctl.calls().count(QStringLiteral("start vessamo.service")), 2);
    EXPECT_EQ(systemctl.calls().count(QStringLiteral("stop vessamo.service")), 1);
}
