// The synchronous process runner: outcomes, Windows-style word grouping without a shell,
// the program and its children ended, and the event loop running during the wait.
#include "routing/syncshell.h"
#include "support/mailfolders.h"

#include <QTimer>
#include <signal.h>

using namespace vessamo::routing;
using Outcome = SyncShellResult::Outcome;
using vessamo::test::MailFolders;

namespace {

// Writes an executable shell script and returns its path.
QString writeScript(const QString &path, const QByteArray &body)
{
    MailFolders::writeFile(path, "#!/bin/sh\n" + body);
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return path;
}

TEST(SyncShell, ReportsHowTheProgramEnded)
{
    const std::tuple<const char *, Outcome, int> rows[] = {
        {"/bin/sh -c \"exit 0\"", Outcome::Finished, 0},
        {"/bin/sh -c \"exit 7\"", Outcome::Finished, 7},
        {"/bin/sh -c \"kill -9 $$\"", Outcome::Crashed, 0},
        {"/nonexistent/program %i", Outcome::FailedToStart, 0},
        {"\"\"", Outcome::FailedToStart, 0},
        {"   ", Outcome::FailedToStart, 0},
    };
    for (const auto &[line, outcome, code] : rows) {
        const SyncShellResult r = SyncShell(QString::fromLatin1(line), 0);
        EXPECT_EQ(r.outcome, outcome) << line;
        EXPECT_EQ(r.outcome == Outcome::Finished ? r.exitCode : 0, code) << line;
    }
}

TEST(SyncShell, DoubleQuotesGroupWordsAndNoShellIsInvolved)
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/with space-XXXXXX"));
    const QString script
        = writeScript(dir.filePath(QStringLiteral("args.sh")),
                      "out=$1; shift\nfor a in \"$@\"; do echo \"[$a]\"; done > \"$out\"\n");
    const QString out = dir.filePath(QStringLiteral("out file.txt"));
    const SyncShellResult r = SyncShell(
        QStringLiteral("\"%1\" \"%2\" plain \"two words\" $HOME;echo * \"say \"\"\"hi\"\"\"\"")
            .arg(script, out),
        0);
    ASSERT_EQ(r.outcome, Outcome::Finished);
    EXPECT_EQ(MailFolders::bytesOf(out), "[plain]\n[two words]\n[$HOME;echo]\n[*]\n[say \"hi\"]\n");
}

// The program's own children go with it: a filter that forks must not leave a process
// behind, whether it ignores SIGTERM at the limit or ends and leaves a child running.
TEST(SyncShell, EndsTheProgramAndItsChildren)
{
    const std::tuple<QByteArray, qint32, Outcome> rows[] = {
        {"trap '' TERM\nsleep 300 &\necho $! > \"$1\"\nwhile :; do sleep 1; done\n", 1,
         Outcome::TimedOut},
        {"sleep 300 &\necho $! > \"$1\"\n", 0, Outcome::Finished},
    };
    for (const auto &[body, limit, outcome] : rows) {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("child"));
        const QString script = writeScript(dir.filePath(QStringLiteral("forks.sh")), body);
        EXPECT_EQ(SyncShell(QStringLiteral("\"%1\" \"%2\"").arg(script, pidFile), limit).outcome,
                  outcome);
        const pid_t child = MailFolders::bytesOf(pidFile).trimmed().toInt();
        ASSERT_GT(child, 0);
        // Ended, and not a zombie that nobody reaped.
        EXPECT_TRUE(vessamo::test::eventually(
            [&] {
                const QByteArray stat
                    = MailFolders::bytesOf(QStringLiteral("/proc/%1/stat").arg(child));
                return stat == "<missing>" || stat.contains(") Z");
            },
            3000));
        ::kill(child, SIGKILL);
    }
}

TEST(SyncShell, EventLoopRunsDuringTheWait)
{
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(50);
    EXPECT_EQ(SyncShell(QStringLiteral("sleep 1"), 0).outcome, Outcome::Finished);
    EXPECT_GE(ticks, 5);
}

} // namespace
