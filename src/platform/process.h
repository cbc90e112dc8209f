// Running a helper program (systemctl) for an administrative action: no shell, its output
// collected, its end awaited in the event loop.
#pragma once

#include <QString>
#include <QStringList>

namespace vessamo::platform {

struct ProcessResult
{
    bool started = false;
    int exitCode = -1;
    QByteArray output;
};

// Full path of a program found on PATH, or empty.
QString findOnPath(const QString &program);

ProcessResult runProgram(const QString &program, const QStringList &args, int timeoutMs = 60000);

} // namespace vessamo::platform
