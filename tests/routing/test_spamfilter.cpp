// Tests of the spam filter: the command-line template, the verdict by the mark in the
// program's output, the output file's removal, and the event loop kept alive meanwhile.
#include "config/configuracio.h"
#include "routing/routingview.h"
#include "routing/runcontext.h"
#include "routing/spamfilter.h"
#include "support/eventlogfile.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <signal.h>

using namespace vessamo::routing;
using vessamo::config::Configuracio;

namespace {

class LabelView : public RoutingView
{
public:
    void open() override { }
    void close() override { }
    void addStatus(const QString &) override { }
    void setLabel(const QString &text) override { labels << text; }
    void setProgressMaximum(qint32) override { }
    void setProgress(qint32) override { }
    QStringList labels;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool zombie(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray stat = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

class SpamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        message = dir.filePath(QStringLiteral("M202401312359590001.missatge"));
        writeFile(message, "Subject: cheap pills\r\n\r\nBuy now\r\n");
        seenOutput = dir.filePath(QStringLiteral("seen-output"));
        // The fake filter notes the output path it was given, then writes its verdict:
        // "$3" is what it writes, after sleeping "$4" seconds.
        filter = dir.filePath(QStringLiteral("filter.sh"));
        writeFile(filter,
                  "#!/bin/sh\nprintf '%s' \"$2\" > \"" + seenOutput.toUtf8()
                      + "\"\ngrep -q pills \"$1\" || exit 0\nsleep \"${4:-0}\"\n"
                        "printf '%s' \"$3\" > \"$2\"\n");
        QFile(filter).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        Configuracio.FiltreSpam = -1;
        Configuracio.MarcaSpam = QStringLiteral("X-Spam: YES");
    }
    void TearDown() override { vessamo::config::resetConfiguration(); }

    // Another anti-spam program, called with "%i %o" and the extra words given.
    void useScript(const QByteArray &body, const QString &extra = {})
    {
        const QString script = dir.filePath(QStringLiteral("other.sh"));
        writeFile(script, "#!/bin/sh\n" + body);
        QFile(script).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        Configuracio.ProgramaSpam = QStringLiteral("\"%1\" %i %o %2").arg(script, extra);
    }
    QStringList logged() const { return vessamo::test::eventLogTexts(logPath); }
    // The files of queued messages in the folder: a safety copy must not stay behind.
    QStringList queuedFiles() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("M2024*")}, QDir::Files, QDir::Name);
    }

    void useProgram(const QString &verdictText, int seconds = 0)
    {
        Configuracio.ProgramaSpam
            = QStringLiteral("\"%1\" %i %o \"%2\" %3").arg(filter, verdictText).arg(seconds);
    }
    bool check()
    {
        RunContext ctx(view);
        return ComprovarSpam(ctx, message);
    }
    QString outputUsed() const
    {
        QFile f(seenOutput);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    QString logPath = dir.filePath(QStringLiteral("events.log"));
    vessamo::test::ScopedEnv logEnv {"VESSAMO_EVENTLOG", logPath.toLocal8Bit()};
    QString message;
    QString filter;
    QString seenOutput;
    LabelView view;
};

TEST(SpamCommand, PlaceholdersAreReplacedExactlyAndOnlyOnce)
{
    const struct
    {
        const char *templateText;
        const char *output;
        const char *message;
        const char *expected;
    } rows[] = {
        {"spamc %i %o", "/t/o", "/q/m", "spamc \"/q/m\" \"/t/o\""},
        {"p -o %o -c %o", "/t/o", "/q/m", "p -o \"/t/o\" -c \"/t/o\""},
        {"p %I %O %i", "/t/o", "/q/m", "p %I %O \"/q/m\""},
        {"p 100% %%o %", "/t/o", "/q/m", "p 100% %\"/t/o\" %"},
        // A path that holds a placeholder is not replaced again.
        {"p %o %i", "/t/a%ib", "/q/m", "p \"/t/a%ib\" \"/q/m\""},
        {"p %i", "/t/o", "/q/it's \"x\"", "p \"/q/it's \"\"\"x\"\"\"\""},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(buildSpamCommand(QString::fromUtf8(row.templateText),
                                   QString::fromUtf8(row.message), QString::fromUtf8(row.output)),
                  QString::fromUtf8(row.expected))
            << row.templateText;
    }
}

TEST(SpamOutput, MarkIsFoundAnywhereInExactCase)
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("o"));
    const struct
    {
        const char *name;
        QByteArray content;
        const char *mark;
        bool found;
    } rows[] = {
        {"at the very end", "score=9\nX-Spam: YES", "X-Spam: YES", true},
        {"other case", "x-spam: yes", "X-Spam: YES", false},
        {"empty output", "", "X-Spam: YES", false},
        {"empty mark", "anything", "", false},
        {"split across read pieces", QByteArray(65536 - 3, ' ') + "X-Spam: YES", "X-Spam: YES",
         true},
        {"Windows-1252 mark", "Resultat: brossa \xe9s", "brossa és", true},
    };
    for (const auto &row : rows) {
        writeFile(out, row.content);
        EXPECT_EQ(outputHoldsMark(out, QString::fromUtf8(row.mark)), row.found) << row.name;
    }
    EXPECT_FALSE(outputHoldsMark(dir.filePath(QStringLiteral("none")), QStringLiteral("x")));
}

TEST_F(SpamTest, MarkInOutputIsSpamAndTheOutputFileIsGone)
{
    useProgram(QStringLiteral("score 9 X-Spam: YES"));
    EXPECT_TRUE(check());
    EXPECT_EQ(view.labels, QStringList({QStringLiteral("Comprovant si és spam")}));
    const QString output = outputUsed();
    ASSERT_FALSE(output.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(output));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(output).path()));
}

TEST_F(SpamTest, MarkInAnotherCaseIsNotSpam)
{
    useProgram(QStringLiteral("x-spam: yes"));
    EXPECT_FALSE(check());
    ASSERT_FALSE(outputUsed().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(outputUsed()));
}

TEST_F(SpamTest, NoOutputFileIsNotSpam)
{
    writeFile(message, "Subject: hello\r\n\r\nclean\r\n");
    useProgram(QStringLiteral("X-Spam: YES"));
    EXPECT_FALSE(check());
    EXPECT_FALSE(outputUsed().isEmpty()); // the program did run
}

TEST_F(SpamTest, MissingProgramIsNotSpam)
{
    Configuracio.ProgramaSpam = QStringLiteral("/nonexistent/spamc %i %o");
    EXPECT_FALSE(check());
}

TEST_F(SpamTest, DisabledFilterRunsNothing)
{
    Configuracio.FiltreSpam = 0;
    useProgram(QStringLiteral("X-Spam: YES"));
    EXPECT_FALSE(check());
    EXPECT_TRUE(view.labels.isEmpty());
    EXPECT_TRUE(outputUsed().isEmpty());
}

TEST_F(SpamTest, UpperCasePlaceholderIsPassedAsWritten)
{
    Configuracio.ProgramaSpam = QStringLiteral("\"%1\" %i %O \"X-Spam: YES\"").arg(filter);
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const bool spam = check();
    QDir::setCurrent(cwd);
    EXPECT_FALSE(spam);
    EXPECT_EQ(outputUsed(), QStringLiteral("%O"));
}

TEST_F(SpamTest, SocketsAreServedWhileTheProgramRuns)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    std::unique_ptr<QTcpSocket> peer;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        peer.reset(server.nextPendingConnection());
        QObject::connect(peer.get(), &QTcpSocket::readyRead, [&] { peer->write(peer->readAll()); });
    });
    QTcpSocket client;
    bool inCall = false;
    QByteArray echoedDuringCall;
    QObject::connect(&client, &QTcpSocket::readyRead, [&] {
        const QByteArray data = client.readAll();
        if (inCall)
            echoedDuringCall += data;
    });
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTimer::singleShot(500, &client, [&] { client.write("ping\r\n"); });
    QTimer::singleShot(1500, &client, [&] { client.write("pong\r\n"); });

    useProgram(QStringLiteral("X-Spam: YES"), 3);
    inCall = true;
    const bool spam = check();
    inCall = false;
    EXPECT_TRUE(spam);
    EXPECT_EQ(echoedDuringCall, QByteArray("ping\r\npong\r\n"));
    EXPECT_FALSE(QFileInfo::exists(outputUsed()));
}

// The message is already gone from the POP3 server: a program that deletes or empties its
// input must not lose it, while one that rewrites it keeps that right.
TEST_F(SpamTest, MessageSurvivesAProgramThatDeletesOrEmptiesIt)
{
    const QByteArray original = "Subject: cheap pills\r\n\r\nBuy now\r\n";
    struct Row
    {
        const char *name;
        QByteArray body;
        QByteArray expected;
        bool logged;
    };
    const Row rows[] = {
        {"deletes it", "rm -f \"$1\"\n", original, true},
        {"empties it in place", ": > \"$1\"\n", original, true},
        {"rewrites it", "printf 'X-Checked: yes\\r\\n' > \"$1\"\n", "X-Checked: yes\r\n", false},
        {"leaves it alone", "exit 0\n", original, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(message, original);
        useScript(row.body);
        const qsizetype before = logged().size();
        EXPECT_FALSE(check());
        EXPECT_EQ(readAll(message), row.expected);
        EXPECT_EQ(queuedFiles(), QStringList {QFileInfo(message).fileName()});
        const QStringList log = logged().mid(before);
        EXPECT_EQ(log.size(), row.logged ? 1 : 0) << log.join(u'|').toStdString();
        for (const QString &text : log)
            EXPECT_TRUE(text.startsWith(QStringLiteral("Comprovant: "))) << text.toStdString();
    }
}

// A program that never ends, ignores SIGTERM and has a child: the run's stop ends both,
// the message is not spam and stays as it was.
TEST_F(SpamTest, StopEndsAHangingProgramAndItsChildren)
{
    const QString childFile = dir.filePath(QStringLiteral("child"));
    useScript("trap '' TERM\nsleep 300 &\necho $! > \"$3\"\n"
              "i=0; while [ $i -lt 15 ]; do sleep 1; i=$((i+1)); done\n"
              "printf 'X-Spam: YES' > \"$2\"\n",
              QLatin1Char('"') + childFile + QLatin1Char('"'));
    const QByteArray original = readAll(message);
    RunContext ctx(view);
    QTimer::singleShot(300, [&ctx] { ctx.abort.request(); });
    EXPECT_FALSE(ComprovarSpam(ctx, message));
    const QStringList log = logged();
    ASSERT_EQ(log.size(), 1) << log.join(u'|').toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("Comprovant: "))) << log[0].toStdString();
    const pid_t child = readAll(childFile).trimmed().toInt();
    ASSERT_GT(child, 0);
    EXPECT_TRUE(
        vessamo::test::eventually([&] { return ::kill(child, 0) != 0 || zombie(child); }, 3000));
    ::kill(child, SIGKILL);
    EXPECT_EQ(readAll(message), original);
}

} // namespace
