// The built program as an administrator runs it: headless, with its switches, signals and
// exit statuses.
#include "programfixture.h"
#include "shell/administracio.h"
#include "support/fakesystemctl.h"
#include "support/pycheck.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <tuple>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;
using ProcessTest = test::ProgramTest;
using vessamo::shell::describeService;

TEST_F(ProcessTest, RunsComeFromTheTimerAndEndOnTerm)
{
    // Interval 3 at 100 ms a minute: runs keep coming by themselves, each shows its mailbox.
    writeConfig(3);
    start({u"/E"_s});
    ASSERT_TRUE(waitFor([&] { return readOutput().count("Llegint correu de usuari") >= 2; }));
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
    start({u"/E"_s}, true);
    signal(SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return readOutput().contains("RETR 1"); }));
    signal(SIGTERM);
    EXPECT_EQ(finish(5000), 0);
    EXPECT_EQ(pop3.messages().size(), 1);
    EXPECT_TRUE(files("Cua").isEmpty());
}

TEST_F(ProcessTest, RefusedStartsEndWithStatusOneAndALogEntry)
{
    const std::tuple<int, const char *, const char *> rows[] = {
        // mailboxes -3: no configuration
        {-3, "", "Configurant: Fitxer de configuració inexistent"},
        {0, "127.0.0.1", "Arrencant: No hi ha cap bústia definida"},
        {-2, "127.0.0.1", "Arrencant: No hi ha cap bústia definida"},
        {1, "  ", "Arrencant: No s'ha definit el servidor SMTP"},
        {1, "", "Arrencant: No s'ha definit el servidor SMTP"},
    };
    for (const auto &[mailboxes, host, log] : rows) {
        QFile::remove(logPath);
        if (mailboxes > -3)
            writeConfig(5, mailboxes, QString::fromLatin1(host));
        start({u"/E"_s});
        EXPECT_EQ(finish(), 1);
        EXPECT_EQ(logged(), QString::fromUtf8(log));
    }
    // Service mode outside systemd says how to run without it.
    QFile::remove(logPath);
    writeConfig(5);
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(err.contains("/E")) << err.constData();
    EXPECT_TRUE(logged().isEmpty());
}

// Whoever can change the configuration chooses the anti-spam program, which a router run
// by root runs as root: a configuration, or its folder, that anyone but root and the
// running user can write is refused at the start, saying why. Owners need root to change.
TEST_F(ProcessTest, AConfigurationOthersCanWriteIsRefusedAtStart)
{
    const bool root = ::geteuid() == 0;
    const QByteArray file = QFile::encodeName(configPath);
    const QByteArray configFolder = QFile::encodeName(dir.path());
    // The login file names the token command the service runs: the same rule.
    const QByteArray loginFile = file + ".login";
    const std::tuple<const QByteArray *, mode_t, uid_t, const char *> rows[] = {
        // what, mode, owner (0: unchanged), what the entry says
        {&file, 0620, 0, "el grup"},
        {&file, 0606, 0, "qualsevol usuari"},
        {&configFolder, 0770, 0, "el grup"},
        {&configFolder, 0703, 0, "qualsevol usuari"},
        {&file, 0600, 65534, "és de l'usuari"},
        {&configFolder, 0700, 65534, "és de l'usuari"},
        {&loginFile, 0620, 0, "el grup"},
        {&loginFile, 0600, 65534, "és de l'usuari"},
    };
    writeConfig(5);
    configuration.smtpLogin.method = u"auto"_s;
    ASSERT_TRUE(config::GravarConfiguracio(configPath, configuration));
    ASSERT_TRUE(QFile::exists(QFile::decodeName(loginFile)));
    for (const auto &[what, mode, owner, why] : rows) {
        SCOPED_TRACE(why);
        if (owner != 0 && !root) {
            std::printf("skipped (needs root): owner %u\n", unsigned(owner));
            continue;
        }
        QFile::remove(logPath);
        ASSERT_EQ(::chmod(what->constData(), mode), 0);
        if (owner != 0) {
            ASSERT_EQ(::chown(what->constData(), owner, owner), 0);
        }
        start({u"/E"_s});
        EXPECT_EQ(finish(), 1);
        const QString entry = logged();
        EXPECT_TRUE(entry.startsWith(u"Arrencant: altres usuaris poden canviar la configuració"_s))
            << entry.toStdString();
        EXPECT_TRUE(entry.contains(QString::fromUtf8(why))) << entry.toStdString();
        EXPECT_TRUE(entry.contains(QFile::decodeName(*what))) << entry.toStdString();
        ASSERT_EQ(::chmod(what->constData(), what == &configFolder ? 0700 : 0600), 0);
        if (owner != 0) {
            ASSERT_EQ(::chown(what->constData(), ::geteuid(), ::getegid()), 0);
        }
    }
    // Root's file that the service's group may read, in a folder it may enter: the service
    // (another user, not root) starts on it.
    QFile::remove(logPath);
    ASSERT_EQ(::chmod(file.constData(), 0640), 0);
    ASSERT_EQ(::chmod(loginFile.constData(), 0640), 0);
    ASSERT_EQ(::chmod(configFolder.constData(), 0750), 0);
    if (root) {
        ASSERT_EQ(::chown(file.constData(), 0, 65534), 0);
        ASSERT_EQ(::chown(loginFile.constData(), 0, 65534), 0);
        ASSERT_EQ(::chown(configFolder.constData(), 0, 65534), 0);
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            ASSERT_EQ(::chown(QFile::encodeName(folder(name)).constData(), 65534, 65534), 0);
        // The event log is the service's to append to.
        QFile log(logPath);
        ASSERT_TRUE(log.open(QIODevice::WriteOnly));
        log.close();
        ASSERT_EQ(::chown(QFile::encodeName(logPath).constData(), 65534, 65534), 0);
        env.insert(u"XDG_CONFIG_HOME"_s, folder("Cua"));
        out.clear();
        err.clear();
        process.setProcessEnvironment(env);
        process.start(u"setpriv"_s,
                      {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                       u"--"_s,
                       QCoreApplication::applicationDirPath() + u"/../../vessamo"_s, u"/E"_s});
        ASSERT_TRUE(process.waitForStarted(5000));
    } else {
        start({u"/E"_s});
    }
    ASSERT_TRUE(waitFor([&] { return handles(SIGTERM); }, 20000))
        << logged().toStdString() << readOutput().constData() << err.constData();
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(logged().contains(u"altres usuaris"_s)) << logged().toStdString();
}

TEST_F(ProcessTest, ServiceModeUnderANotifySocket)
{
    writeConfig(5);
    test::NotifySocket notify(dir.filePath(u"notify"_s));
    ASSERT_TRUE(notify.bound());
    env.insert(u"NOTIFY_SOCKET"_s, notify.path());
    start({}, true);
    EXPECT_EQ(notify.received(10000), "READY=1");
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(notify.received(5000), "STOPPING=1");

    // A refused start under the service manager fails with a non-zero status.
    writeConfig(5, 0);
    start({});
    EXPECT_EQ(finish(), 1);
    EXPECT_EQ(notify.received(0), "");
}

// /I, /D and /A against a fake systemctl.
TEST_F(ProcessTest, AdministrativeSwitchesPrintTheirBoxes)
{
    test::FakeSystemctl systemctl;
    env.insert(u"PATH"_s, qEnvironmentVariable("PATH"));
    env.insert(u"VESSAMO_UNIT_DIR"_s, systemctl.unitDir());
    // The switches, the exit code of systemctl start and stop, the exit status, the box
    // printed and whether it goes to standard error (those with a stop sign).
    const std::tuple<const char *, int, int, const char *, bool> rows[] = {
        {"/A", 0, 1, "El servei no està instal·lat\n", true},
        {"/c /i", 0, 0, "Postiera Vessamo a SMTP. instal·lat correctament.\n", false},
        {"/a", 0, 0, "Intent d'arrencada correcte.\n", false},
        {"/a", 0, 0, "Intent d'aturada correcte.\n", false},
        {"/a", 5, 1, "Codi d'error al intentar arrencar el servei: 5\n", true},
        {"/D", 0, 0, "Postiera Vessamo a SMTP. desinstal·lat correctament.\n", false},
        {"/d", 0, 1, "Postiera Vessamo a SMTP. no desinstal·lat correctament.\n", false},
    };
    for (const auto &[args, requestExit, status, printed, onStderr] : rows) {
        systemctl.setRequestExitCode(requestExit);
        start(QString::fromLatin1(args).split(u' '));
        EXPECT_EQ(finish(), status);
        EXPECT_EQ(onStderr ? err : out, QByteArray(printed)) << args;
    }
    // Not installed, the service was only asked about, never started.
    EXPECT_EQ(systemctl.calls().count(u"start vessamo.service"_s), 2);
    EXPECT_EQ(systemctl.calls().count(u"stop vessamo.service"_s), 1);
}

// Help and version answer on standard output with nothing else set up: no display, no
// configuration read or written, nothing logged; an unknown option gives status 2.
TEST_F(ProcessTest, UnixOptionsTouchNothing)
{
    writeConfig(1);
    QFile::remove(logPath);
    env.insert(u"VESSAMO_CONFIG"_s, dir.filePath(u"absent.vsm"_s));
    const std::tuple<const char *, int, const char *, const char *> rows[] = {
        {"--version", 0, "vessamo " VESSAMO_VERSION "\n", ""},
        {"-h", 0, "vessamo /C --apply [FITXER|-]", ""},
        {"/E --help", 0, "Ús: vessamo", ""},
        {"-V /I", 0, "vessamo " VESSAMO_VERSION "\n", ""},
        {"--bogus", 2, "", "opció desconeguda: --bogus\nÚs: vessamo"},
        {"/E -q", 2, "", "opció desconeguda: -q\n"},
    };
    for (const auto &[args, status, stdoutHolds, stderrHolds] : rows) {
        start(QString::fromLatin1(args).split(u' '));
        EXPECT_EQ(finish(), status) << args;
        EXPECT_TRUE(out.contains(stdoutHolds)) << args << ": " << out.toStdString();
        EXPECT_TRUE(err.contains(stderrHolds)) << args << ": " << err.toStdString();
        EXPECT_EQ(out.isEmpty(), *stdoutHolds == 0) << args;
        EXPECT_EQ(err.isEmpty(), *stderrHolds == 0) << args;
    }
    EXPECT_FALSE(QFile::exists(dir.filePath(u"absent.vsm"_s)));
    EXPECT_FALSE(QFile::exists(logPath));
}

// /I writes the unit the package ships: for the installed program, byte for byte; from a
// build tree, the same sandbox with its own path and folder.
TEST_F(ProcessTest, TheInstalledUnitIsThePackagedOne)
{
    QFile shipped(QStringLiteral(VESSAMO_SHIPPED_UNIT));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    const QString installedExe = QStringLiteral(VESSAMO_INSTALLED_EXECUTABLE);
    platform::ServiceControl service;
    describeService(service, installedExe, config::layoutFor(installedExe, installedExe, false));
    EXPECT_EQ(service.unitText(), QString::fromUtf8(shipped.readAll()));

    test::FakeSystemctl systemctl;
    env.insert(u"PATH"_s, qEnvironmentVariable("PATH"));
    env.insert(u"VESSAMO_UNIT_DIR"_s, systemctl.unitDir());
    start({u"/I"_s});
    ASSERT_EQ(finish(), 0);
    QFile unit(QDir(systemctl.unitDir()).filePath(u"vessamo.service"_s));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(unit.readAll());
    const QString program = QFileInfo(QCoreApplication::applicationDirPath() + u"/../../vessamo"_s)
                                .canonicalFilePath();
    for (const QString &line :
         {u"\nExecStart=\"%1\"\n"_s.arg(program),
          u"\nReadWritePaths=\"%1\"\n"_s.arg(QFileInfo(program).absolutePath()),
          u"\nConditionPathExists=%1.vsm\n"_s.arg(program), u"\nUser=vessamo\n"_s,
          u"\nProtectSystem=strict\n"_s, u"\nType=notify\n"_s})
        EXPECT_TRUE(text.contains(line)) << line.toStdString();
}

namespace {

// While alive, this thread (and the programs it starts) sees a network of its own where
// only loopback is up, and an /etc/hosts of its own. Root only.
class LoopbackOnly
{
public:
    explicit LoopbackOnly(const QByteArray &hosts)
    {
        net_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        mnt_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        if (net_ < 0 || mnt_ < 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            error = u"unshare: "_s + QString::fromLocal8Bit(::strerror(errno));
            return;
        }
        entered_ = true;
        file_.setAutoRemove(true);
        if (!file_.open() || file_.write(hosts) != hosts.size() || !file_.flush()
            || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(QFile::encodeName(file_.fileName()).constData(), "/etc/hosts", nullptr,
                       MS_BIND, nullptr)
                != 0) {
            error = u"hosts: "_s + QString::fromLocal8Bit(::strerror(errno));
            return;
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request {};
        std::strcpy(request.ifr_name, "lo");
        const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0
            && (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
        if (fd >= 0)
            ::close(fd);
        if (!up)
            error = u"loopback: "_s + QString::fromLocal8Bit(::strerror(errno));
    }
    ~LoopbackOnly()
    {
        if (entered_) {
            ::setns(mnt_, CLONE_NEWNS);
            ::setns(net_, CLONE_NEWNET);
        }
        for (const int fd : {net_, mnt_}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    LoopbackOnly(const LoopbackOnly &) = delete;
    LoopbackOnly &operator=(const LoopbackOnly &) = delete;

    QString error;

private:
    int net_ = -1;
    int mnt_ = -1;
    bool entered_ = false;
    QTemporaryFile file_;
};

} // namespace

// Only loopback is up and the servers are named: a name that leads to this machine counts
// as reachable, so the run goes on; one that leads elsewhere skips the run, which the
// status line says while the event log stays silent.
TEST_F(ProcessTest, OnlyLoopbackUpNamedServersCountByWhereTheyLead)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network of the test's own needs root";
    for (const bool far : {false, true}) {
        SCOPED_TRACE(far ? "SMTP server elsewhere" : "every server on this machine");
        const LoopbackOnly loopback("127.0.0.1 mail.site.test\n203.0.113.5 far.site.test\n");
        if (loopback.error.startsWith(u"unshare"))
            GTEST_SKIP() << "no network of the test's own here: " << loopback.error.toStdString();
        ASSERT_TRUE(loopback.error.isEmpty()) << loopback.error.toStdString();
        // Servers of this network.
        test::FakePop3 pop3Here;
        test::FakeSmtpServer smtpHere;
        pop3Here.addMessage("Received: x\r\nFrom: a@b.c\r\n\r\nbody\r\n");
        writeConfig(3);
        configuration.Busties[0].Servidor = u"mail.site.test"_s;
        configuration.Busties[0].Port = static_cast<qint16>(pop3Here.port());
        configuration.Configuracio.ServidorSMTP = far ? u"far.site.test"_s : u"mail.site.test"_s;
        configuration.Configuracio.PortSMTP = static_cast<qint16>(smtpHere.port());
        ASSERT_TRUE(config::GravarConfiguracio(configPath, configuration));
        start({u"/E"_s});
        if (far) {
            ASSERT_TRUE(waitFor([&] {
                return readOutput().count("No network: routing run skipped") >= 2;
            })) << out.constData();
            EXPECT_EQ(pop3Here.connections() + smtpHere.connections(), 0);
        } else {
            ASSERT_TRUE(waitFor([&] { return smtpHere.messages().size() == 1; }))
                << out.constData();
            EXPECT_FALSE(out.contains("No network"));
        }
        signal(SIGTERM);
        EXPECT_EQ(finish(), 0);
        EXPECT_TRUE(logged().isEmpty()) << logged().toStdString();
    }
}

// A message refused for good, end to end: the postmaster set with /C hears of it once, by a
// notice that Python's email package reads, addressed to the postmaster alone; the next
// run tells nothing more.
TEST_F(ProcessTest, AFailedMessageIsToldOnceToThePostmaster)
{
    const QByteArray headers = "Received: x\r\nFrom: Pau <pau@example.org>\r\nSubject: r\xe8g\r\n\r\n";
    pop3.addMessage(headers + "body\r\n");
    smtp.script("RCPT", test::FakeSmtpServer::Reply::text("550 5.1.1 unknown user\r\n"));
    writeConfig(30000);
    start({u"/C"_s, u"--set"_s, u"postmaster=admin@example.org"_s});
    ASSERT_EQ(finish(), 0) << err.constData();
    start({u"/E"_s}, true);
    signal(SIGUSR1);
    ASSERT_TRUE(waitFor([&] { return smtp.messages().size() == 1; })) << out.constData();
    ASSERT_TRUE(waitFor([&] { return files("NoEnviats").size() == 3; }));
    // A second run, once the first is over (a signal during a run is ignored).
    const auto secondRun = [&] { return readOutput().count("STAT") >= 2; };
    for (int i = 0; i < 50 && !secondRun(); ++i) {
        signal(SIGUSR1);
        waitFor(secondRun, 200);
    }
    ASSERT_TRUE(secondRun()) << out.constData();
    ASSERT_TRUE(waitFor([&] { return readOutput().count("QUIT") >= 2; }));
    signal(SIGTERM);
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(smtp.messages().size(), 1);
    QList<QByteArray> envelope;
    for (const QByteArray &line : smtp.commands()) {
        if (line.startsWith("MAIL") || line.startsWith("RCPT"))
            envelope << line;
    }
    EXPECT_EQ(envelope, (QList<QByteArray> {"MAIL FROM: <pau@example.org>",
                                             "RCPT TO: <joan@example.net>",
                                             "MAIL FROM: <admin@example.org>",
                                             "RCPT TO: <admin@example.org>"}));
    const test::PythonResult read = test::runPython(test::kMessageSummary, smtp.messages().first());
    ASSERT_EQ(read.status, 0) << read.out.constData();
    const QJsonObject summary = QJsonDocument::fromJson(read.out).object();
    EXPECT_EQ(summary[u"headers"_s][u"To"_s].toString(), u"admin@example.org"_s);
    EXPECT_EQ(summary[u"defects"_s].toArray().size(), 0);
    const QJsonArray parts = summary[u"parts"_s].toArray();
    ASSERT_EQ(parts.size(), 2) << read.out.constData();
    EXPECT_EQ(QByteArray::fromBase64(parts[1][u"payload"_s].toString().toLatin1()), headers);
    EXPECT_TRUE(QByteArray::fromBase64(parts[0][u"payload"_s].toString().toLatin1())
                    .contains("550 5.1.1 unknown user"));
}
