// The built program as a child process, run against the fake servers of the test, with
// its own configuration, folders, event log and environment in a temporary folder.
#pragma once

#include "config/configuracio.h"
#include "platform/wait.h"
#include "support/eventlogfile.h"
#include "support/fakepop3.h"
#include "support/fakesmtp.h"
#include "support/tempenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vessamo::test {

using namespace Qt::StringLiterals;

// A systemd notify socket: the datagrams the program sends to $NOTIFY_SOCKET, one at a time.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path)
        : path_(path.toLocal8Bit())
        , fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un addr {AF_UNIX, {}};
        std::memcpy(addr.sun_path, path_.constData(),
                    std::min(sizeof addr.sun_path - 1, static_cast<size_t>(path_.size())));
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    ~NotifySocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool bound() const { return bound_; }
    QString path() const { return QString::fromLocal8Bit(path_); }
    // The next datagram within `ms`, or nothing.
    QByteArray received(int ms)
    {
        char buffer[512];
        ssize_t n = 0;
        eventually([&] { return (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0; }, ms);
        return QByteArray(buffer, n > 0 ? static_cast<int>(n) : 0);
    }

private:
    QByteArray path_;
    int fd_;
    bool bound_ = false;
};

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET"})
            env.remove(QString::fromLatin1(name));
        env.insert(u"VESSAMO_CONFIG"_s, configPath);
        env.insert(u"VESSAMO_EVENTLOG"_s, logPath);
        env.insert(u"VESSAMO_MINUTE_MS"_s, u"100"_s);
        env.insert(u"XDG_CONFIG_HOME"_s, dir.filePath(u"home"_s));
    }
    void TearDown() override
    {
        process.kill();
        process.waitForFinished(5000);
    }

    QString folder(const char *name) const { return dir.filePath(QLatin1String(name)) + u'/'; }
    // A file of the test's making in one of the folders (a pair's file, a record).
    void put(const char *folderName, const QString &name, const QByteArray &bytes)
    {
        QFile file(folder(folderName) + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QStringList files(const char *name) const { return QDir(folder(name)).entryList(QDir::Files); }
    // A configuration aimed at the fake servers, with its folders; kept in `configuration`
    // for a test to change and write again.
    void writeConfig(int interval, int mailboxes = 1, const QString &smtpHost = u"127.0.0.1"_s)
    {
        config::ConfiguracioRecord &c = configuration.Configuracio;
        c.Interval = static_cast<qint16>(interval);
        c.ServidorSMTP = smtpHost;
        c.PortSMTP = static_cast<qint16>(smtp.port());
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            ASSERT_TRUE(QDir().mkpath(folder(name)));
        c.CarpetaCua = folder("Cua");
        c.CarpetaSiEnviats = folder("SiEnviats");
        c.CarpetaNoEnviats = folder("NoEnviats");
        c.CarpetaSpam = folder("SPam");
        c.NumBusties = static_cast<qint16>(mailboxes);
        configuration.Busties.assign(
            std::max(mailboxes, 1),
            config::Bustia {u"127.0.0.1"_s, static_cast<qint16>(pop3.port()), u"usuari"_s,
                            u"secret"_s, u"joan@example.net"_s});
        ASSERT_TRUE(config::GravarConfiguracio(configPath, configuration));
    }
    // With `ready`, waits until the signal handlers are in place (the kernel shows SIGUSR1
    // as caught): a signal sent earlier would kill the program.
    void start(const QStringList &args, bool ready = false)
    {
        out.clear();
        err.clear();
        process.setProcessEnvironment(env);
        // The program sits at the top of the build tree.
        process.start(QCoreApplication::applicationDirPath() + u"/../../vessamo"_s, args);
        ASSERT_TRUE(process.waitForStarted(5000));
        if (ready) {
            ASSERT_TRUE(eventually([this] { return handles(SIGUSR1); }, 20000));
        }
    }
    // The kernel shows the signal as caught once the program's handler is in place.
    bool handles(int number) const
    {
        QFile file(u"/proc/%1/status"_s.arg(process.processId()));
        const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        const qsizetype at = status.indexOf("SigCgt:") + 7;
        return at >= 7 && status.mid(at, 17).trimmed().toULongLong(nullptr, 16) >> (number - 1) & 1;
    }
    void signal(int number)
    {
        // No process: a kill of pid 0 would hit the test's own process group.
        if (const qint64 pid = process.processId(); pid > 0)
            ::kill(static_cast<pid_t>(pid), number);
    }
    bool running() const { return process.state() != QProcess::NotRunning; }
    bool waitFor(const std::function<bool()> &condition, int ms = 10000)
    {
        return platform::waitUntil(condition, QDeadlineTimer(ms));
    }
    // The exit status; -1 on time-out, -2 on a crash.
    int finish(int ms = 10000)
    {
        if (!waitFor([&] { return !running(); }, ms))
            return -1;
        readOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
    const QByteArray &readOutput()
    {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return out;
    }
    QString logged() const { return eventLogTexts(logPath).join(u'|'); }

    QTemporaryDir dir;
    config::Configuration configuration;
    const QString configPath = dir.filePath(u"vessamo.vsm"_s);
    const QString logPath = dir.filePath(u"events.log"_s);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    FakePop3 pop3;
    FakeSmtpServer smtp;
    QProcess process;
    QByteArray out, err;
};

} // namespace vessamo::test
