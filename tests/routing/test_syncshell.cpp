// Tests of the synchronous process runner: exit codes, Windows-style word grouping,
// missing programs, the time limit, and the event loop running during the wait.
#include "routing/syncshell.h"
#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <signal.h>

using namespace vessamo::routing;
using Outcome = SyncShellResult::Outcome;

namespace {

// Writes an executable shell script and returns its path.
QString writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n" + body);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Running, and not a zombie that nobody reaped yet.
bool alive(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = f.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST(SyncShell, ReportsTheExitCode)
{
    for (int code : {0, 1, 7, 255}) {
        const SyncShellResult r = SyncShell(QStringLiteral("/bin/sh -c \"exit %1\"").arg(code), 0);
        EXPECT_EQ(r.outcome, Outcome::Finished) << code;
        EXPECT_EQ(r.exitCode, code);
    }
}

TEST(SyncShell, DoubleQuotesGroupWordsAndNoShellIsInvolved)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/with space-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    const QString script
        = writeScript(dir.filePath(QStringLiteral("args.sh")),
                      "out=$1; shift\nfor a in \"$@\"; do echo \"[$a]\"; done > \"$out\"\n");
    const QString out = dir.filePath(QStringLiteral("out file.txt"));
    const SyncShellResult r = SyncShell(
        QStringLiteral("\"%1\" \"%2\" plain \"two words\" $HOME;echo * \"say \"\"\"hi\"\"\"\"")
            .arg(script, out),
        0);
    ASSERT_EQ(r.outcome, Outcome::Finished);
    EXPECT_EQ(readAll(out), QByteArray("[plain]\n[two words]\n[$HOME;echo]\n[*]\n[say \"hi\"]\n"));
}

TEST(SyncShell, MissingProgramReturnsAtOnce)
{
    const char *rows[] = {"/nonexistent/program %i", "\"\"", "", "   "};
    for (const char *line : rows) {
        const SyncShellResult r = SyncShell(QString::fromLatin1(line), 0);
        EXPECT_EQ(r.outcome, Outcome::FailedToStart) << line;
    }
}

TEST(SyncShell, TimeLimitEndsALongProgram)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));
    const QString script
        = writeScript(dir.filePath(QStringLiteral("long.sh")), "echo $$ > \"$1\"\nexec sleep 60\n");
    const SyncShellResult r = SyncShell(QStringLiteral("\"%1\" \"%2\"").arg(script, pidFile), 1);
    EXPECT_EQ(r.outcome, Outcome::TimedOut);
    bool ok = false;
    const pid_t pid = readAll(pidFile).trimmed().toInt(&ok);
    ASSERT_TRUE(ok);
    // Ended and reaped, not left running.
    EXPECT_NE(::kill(pid, 0), 0);
}

// The program's own children go with it: a filter that forks must not leave a process
// behind, whether it ignores SIGTERM at the limit or ends and leaves a child running.
TEST(SyncShell, EndsTheProgramAndItsChildren)
{
    struct Row
    {
        const char *name;
        QByteArray body;
        qint32 limit;
        Outcome outcome;
    };
    const Row rows[] = {
        {"limit passes, SIGTERM ignored",
         "trap '' TERM\nsleep 300 &\necho $! > \"$1\"\nwhile :; do sleep 1; done\n", 1,
         Outcome::TimedOut},
        {"program ends, its child runs on", "sleep 300 &\necho $! > \"$1\"\n", 0,
         Outcome::Finished},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString pidFile = dir.filePath(QStringLiteral("child"));
        const QString script = writeScript(dir.filePath(QStringLiteral("forks.sh")), row.body);
        const SyncShellResult r
            = SyncShell(QStringLiteral("\"%1\" \"%2\"").arg(script, pidFile), row.limit);
        EXPECT_EQ(r.outcome, row.outcome);
        bool ok = false;
        const pid_t child = readAll(pidFile).trimmed().toInt(&ok);
        ASSERT_TRUE(ok);
        EXPECT_TRUE(vessamo::test::eventually([&] { return !alive(child); }, 3000));
        ::kill(child, SIGKILL);
    }
}

TEST(SyncShell, EventLoopRunsDuringTheWait)
{
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(50);
    const SyncShellResult r = SyncShell(QStringLiteral("sleep 1"), 0);
    EXPECT_EQ(r.outcome, Outcome::Finished);
    EXPECT_GE(ticks, 5);
}

TEST(SyncShell, CrashIsNotAnExitCode)
{
    const SyncShellResult r = SyncShell(QStringLiteral("/bin/sh -c \"kill -9 $$\""), 0);
    EXPECT_EQ(r.outcome, Outcome::Crashed);
}

} // namespace
