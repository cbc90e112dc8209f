// `modSyncShell`: one child process per call, awaited in the event loop.
#include "routing/syncshell.h"

#include "platform/wait.h"

#include <QProcess>

namespace vessamo::routing {

namespace {

// How long a program asked to end at the time limit gets before it is killed.
constexpr int kTerminateGraceMs = 2000;

} // namespace

SyncShellResult SyncShell(const QString &commandLine, qint32 timeLimitSeconds)
{
    SyncShellResult result;
    QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return result;

    // Declared before the process: its signals may still arrive while it is destroyed.
    bool ended = false;
    QProcess process;
    process.setProgram(words.takeFirst());
    process.setArguments(words);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());

    QObject::connect(
        &process, &QProcess::finished, &process, [&](int code, QProcess::ExitStatus status) {
            ended = true;
            result.exitCode = code;
            result.outcome = status == QProcess::NormalExit ? SyncShellResult::Outcome::Finished
                                                            : SyncShellResult::Outcome::Crashed;
        });
    QObject::connect(&process, &QProcess::errorOccurred, &process,
                     [&](QProcess::ProcessError error) {
                         if (error == QProcess::FailedToStart) {
                             ended = true;
                             result.outcome = SyncShellResult::Outcome::FailedToStart;
                         }
                     });

    // The deadline is taken before the start, so the limit covers the whole call.
    const QDeadlineTimer deadline = timeLimitSeconds > 0
        ? QDeadlineTimer(qint64(timeLimitSeconds) * 1000, Qt::PreciseTimer)
        : QDeadlineTimer(QDeadlineTimer::Forever);
    process.start(QIODevice::NotOpen);
    if (platform::waitUntil([&] { return ended; }, deadline))
        return result;

    process.terminate();
    if (!platform::waitUntil([&] { return ended; }, QDeadlineTimer(kTerminateGraceMs))) {
        process.kill();
        platform::waitUntil([&] { return ended; }, QDeadlineTimer(kTerminateGraceMs));
    }
    process.disconnect();
    result.outcome = SyncShellResult::Outcome::TimedOut;
    return result;
}

} // namespace vessamo::routing
