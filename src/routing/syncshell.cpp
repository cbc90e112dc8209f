// `modSyncShell`: the command line split, then one child process in a process group of its
// own (processgroup.cpp).
#include "routing/syncshell.h"

#include <QProcess>

namespace vessamo::routing {

SyncShellResult SyncShell(const QString &commandLine, qint32 timeLimitSeconds,
                          const platform::StopSource *stop)
{
    QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return {};
    const QString program = words.takeFirst();
    return SyncShellProgram(program, words, timeLimitSeconds, stop);
}

SyncShellResult SyncShellProgram(const QString &program, const QStringList &arguments,
                                 qint32 timeLimitSeconds, const platform::StopSource *stop)
{
    return runInOwnGroup(program, arguments, timeLimitSeconds, stop);
}

} // namespace vessamo::routing
