#include "platform/process.h"

#include "platform/wait.h"

#include <QProcess>
#include <QStandardPaths>

namespace vessamo::platform {

QString findOnPath(const QString &program)
{
    return QStandardPaths::findExecutable(program);
}

ProcessResult runProgram(const QString &program, const QStringList &args, int timeoutMs)
{
    ProcessResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    bool finished = false;
    bool failed = false;
    QObject::connect(&process, &QProcess::finished, [&] { finished = true; });
    QObject::connect(&process, &QProcess::errorOccurred, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            failed = true;
    });
    process.start(program, args);
    waitUntil([&] { return finished || failed; }, QDeadlineTimer(timeoutMs));
    if (failed)
        return result;
    result.started = true;
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.output = process.readAll();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

} // namespace vessamo::platform
