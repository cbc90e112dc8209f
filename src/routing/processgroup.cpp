// One child process per call, in a process group of its own, awaited in the event loop;
// its standard output read as it arrives.
#include "routing/processgroup.h"

#include "platform/wait.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <csignal>
#include <unistd.h>

namespace vessamo::routing {

namespace {

// How long a program asked to end gets before it is killed.
constexpr int kTerminateGraceMs = 2000;

// Kills what is left of the program's process group when the call is over, however it
// ends. The group's id cannot be taken by a new process while any member lives; once all
// are gone the kill finds nothing (ESRCH).
class GroupReaper
{
public:
    explicit GroupReaper(pid_t group)
        : group_(group)
    {
    }
    ~GroupReaper()
    {
        if (group_ > 0)
            ::kill(-group_, SIGKILL);
    }
    GroupReaper(const GroupReaper &) = delete;
    GroupReaper &operator=(const GroupReaper &) = delete;

private:
    pid_t group_;
};

// Asks the whole group to end, then kills it when the program outlasts the grace.
void endGroup(pid_t group, const std::function<bool()> &ended)
{
    if (group <= 0)
        return;
    ::kill(-group, SIGTERM);
    if (!platform::waitUntil(ended, QDeadlineTimer(kTerminateGraceMs))) {
        ::kill(-group, SIGKILL);
        platform::waitUntil(ended, QDeadlineTimer(kTerminateGraceMs));
    }
}

void keep(QProcess &process, ProgramOutput &output, qsizetype cap)
{
    const QByteArray piece = process.readAllStandardOutput();
    const qsizetype room = cap - output.bytes.size();
    if (piece.size() > room)
        output.cut = true;
    if (room > 0)
        output.bytes += piece.left(room);
}

} // namespace

QString programFile(const QString &word)
{
    if (word.isEmpty())
        return {};
    const QString found = word.contains(u'/') ? word : QStandardPaths::findExecutable(word);
    if (found.isEmpty() || !QFileInfo::exists(found))
        return {};
    return QFileInfo(found).absoluteFilePath();
}

SyncShellResult runInOwnGroup(const QString &program, const QStringList &arguments,
                              qint32 timeLimitSeconds, const platform::StopSource *stop,
                              ProgramOutput *output, qsizetype cap)
{
    SyncShellResult result;
    // Declared before the process: its signals may still arrive while it is destroyed.
    bool ended = false;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!output)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // Its own process group, so that its children can be ended with it.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });

    if (output) {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [&] { keep(process, *output, cap); });
    }
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
    process.start(output ? QIODevice::ReadOnly : QIODevice::NotOpen);
    const auto group = pid_t(process.processId());
    // Also from this side: a signal sent before the child has run its own setpgid must
    // still reach the group.
    if (group > 0)
        ::setpgid(group, group);
    const GroupReaper reaper(group);
    const auto done = [&ended] { return ended; };
    if (platform::waitUntil(done, deadline, stop)) {
        // What arrived together with the end.
        if (output && result.outcome != SyncShellResult::Outcome::FailedToStart)
            keep(process, *output, cap);
        return result;
    }

    endGroup(group, done);
    process.disconnect();
    result.outcome = stop && stop->requested() ? SyncShellResult::Outcome::Stopped
                                               : SyncShellResult::Outcome::TimedOut;
    return result;
}

} // namespace vessamo::routing
