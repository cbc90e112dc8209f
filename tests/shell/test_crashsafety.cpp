// Crash safety of the built program: it is killed (SIGKILL) again and again in the middle
// of routing runs, at chosen points of the POP3 dialogue, of the forwarding and at
// spread-out times, and finally left to finish a run. No message may be lost, cut off or
// altered on the way from the POP3 mailbox to the SMTP server; a message may arrive twice
// (a kill between the server's acceptance and the archiving makes the next run send it
// again), and the test reports how often that happened.
//
// The fake servers live in this process and are served while the test waits in the event
// loop; their replies are slowed down a little so that one run lasts about a second.
#include "config/configuracio.h"
#include "platform/wait.h"
#include "support/eventlogfile.h"
#include "support/fakepop3.h"
#include "support/fakesmtp.h"
#include "support/mailwire.h"
#include "support/tempenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

using namespace vessamo;
using Reply = test::FakeSmtpServer::Reply;

namespace {

constexpr qsizetype kPieceSize = 16 * 1024;
constexpr int kPieceDelayMs = 10;
constexpr int kEndOfDataDelayMs = 25;
const QByteArray kForwardTo = "joan@example.net";

// A message of about `size` bytes with a Received: line first, its own From: and
// Message-ID, lines that need dot-stuffing, and a line that is a "." alone.
QByteArray makeMessage(int n, qsizetype size)
{
    const QByteArray num = QByteArray::number(n);
    QByteArray m = "Received: from mx" + num
        + ".example.org by pop.example.org; Tue, 2 Jan 2024 10:00:00 +0100\r\n"
          "From: Sender "
        + num + " <s" + num + "@example.org>\r\nTo: box@example.net\r\nMessage-ID: <" + num
        + "@crash.test>\r\nSubject: message " + num + "\r\n\r\n";
    for (int line = 0; m.size() < size; ++line) {
        if (line % 9 == 0)
            m += '.';
        m += "m" + num + " line " + QByteArray::number(line) + ' '
            + QByteArray(40 + (line * 13 + n) % 50, char('a' + (line + n) % 26)) + "\r\n";
    }
    return m + ".\r\nend of message " + num + "\r\n";
}

qsizetype sizeOf(int n)
{
    switch (n) {
    case 3:
        return 200 * 1024;
    case 8:
        return 350 * 1024;
    case 14:
        return 300 * 1024;
    case 19:
        return 250 * 1024;
    case 24:
        return 300 * 1024;
    case 28:
        return 150 * 1024;
    default:
        return 300 + (n * 977) % 6000;
    }
}

using vessamo::test::relayedData;

// Where a kill lands: a moment of the dialogue (a POP3 command as the server receives it,
// or the count-th SMTP command or end of data of the run), or the read-now signal itself,
// then a delay. A POP3 anchor without delay kills before the server answers.
struct KillPoint
{
    enum Anchor { Signal, Pop3, SmtpCommand, SmtpEndOfData };
    Anchor anchor;
    QByteArray text; // POP3 command line, or SMTP verb
    int count; // SMTP: the count-th occurrence in this run
    int delayMs;
};

class CrashSafety : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        config::resetConfiguration();
        configPath = dir.filePath(QStringLiteral("vessamo.vsm"));
        logPath = dir.filePath(QStringLiteral("events.log"));
        env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET",
                                 "VESSAMO_MINUTE_MS"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("VESSAMO_CONFIG"), configPath);
        env.insert(QStringLiteral("VESSAMO_EVENTLOG"), logPath);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("home")));

        pop3.setSplitter([](const QByteArray &wire) {
            QList<QByteArray> pieces;
            for (qsizetype at = 0; at < wire.size(); at += kPieceSize)
                pieces << wire.mid(at, kPieceSize);
            return pieces;
        });
        pop3.setPieceDelayMs(kPieceDelayMs);
        pop3.setCommandHook([this](const QByteArray &line) { onPop3Command(line); });
        // Every acceptance of a message comes a little late: room for a kill in between.
        for (int i = 0; i < 3000; ++i)
            smtp.script(".", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, kEndOfDataDelayMs});
        writeConfig();
    }
    void TearDown() override
    {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
        config::resetConfiguration();
    }

    void writeConfig()
    {
        config::VersioConfiguracio = 2;
        config::ConfiguracioRecord &c = config::Configuracio;
        // No tick of the routing timer comes during the test: only the signal starts runs.
        c.Interval = 30000;
        c.ServidorSMTP = QStringLiteral("127.0.0.1");
        c.PortSMTP = static_cast<qint16>(smtp.port());
        for (const char *name : {"Cua", "SiEnviats", "NoEnviats", "SPam"})
            ASSERT_TRUE(QDir(dir.path()).mkpath(QString::fromLatin1(name)));
        c.CarpetaCua = folder("Cua");
        c.CarpetaSiEnviats = folder("SiEnviats");
        c.CarpetaNoEnviats = folder("NoEnviats");
        c.CarpetaSpam = folder("SPam");
        c.NumBusties = 1;
        config::Busties = {{QStringLiteral("127.0.0.1"), static_cast<qint16>(pop3.port()),
                            QStringLiteral("usuari"), QStringLiteral("secret"),
                            QString::fromLatin1(kForwardTo)}};
        ASSERT_TRUE(config::GravarConfiguracio(configPath));
    }
    QString folder(const char *name) const
    {
        return dir.filePath(QString::fromLatin1(name)) + u'/';
    }

    void addMessages(int first, int last)
    {
        for (int n = first; n <= last; ++n) {
            originals << makeMessage(n, sizeOf(n));
            pop3.addMessage(originals.last());
        }
    }

    void start()
    {
        process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        QString binary = qEnvironmentVariable("VESSAMO_BINARY");
        if (binary.isEmpty())
            binary = QCoreApplication::applicationDirPath() + QStringLiteral("/../../vessamo");
        process->start(binary, {QStringLiteral("/E")});
        ASSERT_TRUE(process->waitForStarted(5000));
        ASSERT_TRUE(handlersInstalled());
    }
    pid_t pid() const { return static_cast<pid_t>(process->processId()); }
    // The signal handlers are in place once the kernel shows SIGUSR1 as caught.
    bool handlersInstalled() { return test::signalHandled(process->processId(), SIGUSR1, 20000); }
    bool running() const { return process->state() != QProcess::NotRunning; }
    // The last line the program printed: what it was doing.
    QByteArray lastLine()
    {
        output += process->readAllStandardOutput();
        const QList<QByteArray> lines = output.trimmed().split('\n');
        return lines.isEmpty() ? QByteArray() : lines.last();
    }

    void onPop3Command(const QByteArray &line)
    {
        if (!armed || armed->anchor != KillPoint::Pop3 || line != armed->text || anchored)
            return;
        anchored = true;
        if (armed->delayMs == 0 && process && running())
            ::kill(pid(), SIGKILL);
    }
    qsizetype smtpCount(const QByteArray &verb) const
    {
        qsizetype n = 0;
        const QList<QByteArray> commands = smtp.commands();
        for (qsizetype i = smtpCommandsBefore; i < commands.size(); ++i) {
            if (commands[i].startsWith(verb))
                ++n;
        }
        return n;
    }
    bool anchorReached()
    {
        switch (armed->anchor) {
        case KillPoint::Signal:
            return true;
        case KillPoint::Pop3:
            return anchored;
        case KillPoint::SmtpCommand:
            return smtpCount(armed->text) >= armed->count;
        case KillPoint::SmtpEndOfData:
            return smtp.messages().size() - smtpMessagesBefore >= armed->count;
        }
        return false;
    }

    // One run of the program, killed at the point given. False when the anchor never came.
    bool killedRun(const KillPoint &point)
    {
        start();
        if (HasFatalFailure())
            return false;
        output.clear();
        armed = &point;
        anchored = false;
        smtpCommandsBefore = smtp.commands().size();
        smtpMessagesBefore = smtp.messages().size();
        ::kill(pid(), SIGUSR1);
        const bool reached = platform::waitUntil([&] { return anchorReached() || !running(); },
                                                 QDeadlineTimer(15000))
            && anchorReached();
        if (point.delayMs > 0)
            platform::waitUntil([&] { return !running(); }, QDeadlineTimer(point.delayMs));
        if (running())
            ::kill(pid(), SIGKILL);
        armed = nullptr;
        EXPECT_TRUE(platform::waitUntil([&] { return !running(); }, QDeadlineTimer(10000)));
        report << QByteArray(reached ? "  " : "! ") + point.text + ' '
                + QByteArray::number(point.count) + " +" + QByteArray::number(point.delayMs)
                + "ms: " + lastLine();
        return reached;
    }

    static QStringList pairFiles(const QString &folderPath)
    {
        return QDir(folderPath).entryList(QDir::Files, QDir::Name);
    }
    static QByteArray bytesOf(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    QString configPath, logPath;
    QProcessEnvironment env;
    test::FakePop3 pop3;
    test::FakeSmtpServer smtp;
    std::unique_ptr<QProcess> process;
    QByteArray output;
    QList<QByteArray> originals;
    const KillPoint *armed = nullptr;
    bool anchored = false;
    qsizetype smtpCommandsBefore = 0;
    qsizetype smtpMessagesBefore = 0;
    QList<QByteArray> report;
};

} // namespace

TEST_F(CrashSafety, KilledRunsLoseAndAlterNothing)
{
    addMessages(1, 20);
    using K = KillPoint;
    // While the mailbox is being read: no QUIT reaches the server, so every run finds the
    // whole mailbox again and the anchors below all come.
    const KillPoint reading[] = {
        {K::Signal, "signal", 0, 2}, {K::Pop3, "STAT", 0, 0},    {K::Pop3, "RETR 1", 0, 0},
        {K::Pop3, "RETR 3", 0, 25}, // in a large message
        {K::Pop3, "DELE 3", 0, 0},   {K::Pop3, "RETR 8", 0, 40}, {K::Pop3, "DELE 10", 0, 1},
        {K::Pop3, "RETR 14", 0, 60}, {K::Pop3, "DELE 20", 0, 0}, // all stored, QUIT not sent yet
        {K::Pop3, "QUIT", 0, 0}, // the server deletes; the program dies before the reply
    };
    // While the queue is being forwarded: around the DATA transfer, between the end of data
    // and the server's acceptance (the next run sends that message again), and just after
    // the acceptance, while the pair is being archived.
    const KillPoint forwarding[] = {
        {K::SmtpCommand, "DATA", 1, 1},
        {K::SmtpEndOfData, ".", 1, 5},
        {K::SmtpEndOfData, ".", 2, kEndOfDataDelayMs + 1},
        {K::SmtpCommand, "MAIL", 2, 0},
        {K::SmtpEndOfData, ".", 1, kEndOfDataDelayMs},
        {K::SmtpEndOfData, ".", 3, kEndOfDataDelayMs + 3},
        {K::SmtpCommand, "QUIT", 2, 0},
        {K::SmtpEndOfData, ".", 2, kEndOfDataDelayMs + 6},
    };
    for (const KillPoint &point : reading)
        EXPECT_TRUE(killedRun(point)) << point.text.constData();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(pop3.messages().isEmpty()) << "the kill at QUIT came before the server's QUIT";
    for (const KillPoint &point : forwarding)
        EXPECT_TRUE(killedRun(point)) << point.text.constData() << point.count;
    ASSERT_FALSE(HasFatalFailure());

    // New mail, and kills at times spread over whole runs that read and forward.
    addMessages(21, 30);
    for (const int ms : {3, 40, 100, 180, 280, 400, 550, 700, 900, 1100, 1350, 1600})
        killedRun(KillPoint {K::Signal, "signal", 0, ms});
    ASSERT_FALSE(HasFatalFailure());

    // One more run, left alone, works off everything.
    start();
    ASSERT_FALSE(HasFatalFailure());
    ::kill(pid(), SIGUSR1);
    const QString queue = folder("Cua");
    EXPECT_TRUE(
        platform::waitUntil([&] { return pop3.messages().isEmpty() && pairFiles(queue).isEmpty(); },
                            QDeadlineTimer(60000)))
        << pairFiles(queue).join(u' ').toStdString();
    // The run ends with the purge; give it a moment before the stop.
    platform::waitUntil([] { return false; }, QDeadlineTimer(300));
    ::kill(pid(), SIGTERM);
    EXPECT_TRUE(platform::waitUntil([&] { return !running(); }, QDeadlineTimer(10000)));
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);

    // Every delivery is one original, whole and unchanged; every original came.
    QHash<QByteArray, int> indexOf;
    for (qsizetype i = 0; i < originals.size(); ++i)
        indexOf.insert(relayedData(originals[i]), int(i));
    QList<int> deliveries(originals.size(), 0);
    const QList<QByteArray> delivered = smtp.messages();
    for (const QByteArray &data : delivered) {
        const auto it = indexOf.constFind(data);
        if (it == indexOf.cend()) {
            ADD_FAILURE() << "a delivered message is not one of the originals: " << data.size()
                          << " bytes, starting " << data.left(160).constData();
            continue;
        }
        ++deliveries[it.value()];
    }
    for (qsizetype i = 0; i < originals.size(); ++i)
        EXPECT_GE(deliveries[i], 1) << "message " << i + 1 << " never arrived";
    for (const QByteArray &line : smtp.commands()) {
        if (line.startsWith("RCPT")) {
            EXPECT_EQ(line, "RCPT TO: <" + kForwardTo + ">");
        }
    }

    // The archive holds originals only; nothing failed, nothing was left behind.
    QHash<QByteArray, int> stored;
    for (qsizetype i = 0; i < originals.size(); ++i)
        stored.insert(originals[i], int(i));
    const QString sent = folder("SiEnviats");
    QList<int> archived(originals.size(), 0);
    for (const QString &name : pairFiles(sent)) {
        if (!name.endsWith(QStringLiteral(".missatge")))
            continue;
        const auto it = stored.constFind(bytesOf(sent + name));
        if (it == stored.cend())
            ADD_FAILURE() << "archived message is not an original: " << name.toStdString();
        else
            ++archived[it.value()];
    }
    // A forwarded message keeps its archived copy: no later pair may take its place.
    for (qsizetype i = 0; i < originals.size(); ++i)
        EXPECT_GE(archived[i], 1) << "message " << i + 1 << " is not in the sent archive";
    EXPECT_TRUE(pairFiles(queue).isEmpty()) << pairFiles(queue).join(u' ').toStdString();
    EXPECT_TRUE(pairFiles(folder("NoEnviats")).isEmpty());
    EXPECT_TRUE(pairFiles(folder("SPam")).isEmpty());
    EXPECT_TRUE(bytesOf(logPath).isEmpty()) << bytesOf(logPath).constData();

    const qsizetype duplicates = delivered.size() - originals.size();
    std::printf("%lld messages, %lld deliveries, %lld duplicates, %lld kills; last line at "
                "each kill:\n",
                static_cast<long long>(originals.size()), static_cast<long long>(delivered.size()),
                static_cast<long long>(duplicates), static_cast<long long>(report.size()));
    for (const QByteArray &line : report)
        std::printf("%s\n", line.constData());
    RecordProperty("duplicates", int(duplicates));
}
