// Runs a short Python 3 script (Python's email package is the independent reader of what
// the composer writes) with bytes on its standard input. A script reports a mismatch by
// printing it and exiting with a non-zero status.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>

namespace vessamo::test {

struct PythonResult
{
    int status = -1;
    QByteArray out;
};

inline PythonResult runPython(const char *script, const QByteArray &input,
                              const QStringList &arguments = {})
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 QStringList {QStringLiteral("-c"), QString::fromUtf8(script)} + arguments);
    if (!python.waitForStarted(10000))
        return {};
    python.write(input);
    python.closeWriteChannel();
    python.waitForFinished(60000);
    PythonResult result;
    result.status = python.exitStatus() == QProcess::NormalExit ? python.exitCode() : -1;
    result.out = python.readAllStandardOutput() + python.readAllStandardError();
    return result;
}

} // namespace vessamo::test
