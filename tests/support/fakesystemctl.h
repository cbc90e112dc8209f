// A fake systemctl, first on PATH: it records its arguments, a call a line, answers
// is-active from a state that start and stop change, and takes the exit code of start and
// stop from a file. $VESSAMO_UNIT_DIR points install and remove at a temporary folder.
#pragma once

#include "support/tempenv.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

namespace vessamo::test {

class FakeSystemctl
{
public:
    FakeSystemctl()
    {
        write("systemctl", R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  is-active) state=$(cat "$dir/state" 2>/dev/null || echo inactive); echo "$state"; [ "$state" = active ] ;;
  start|stop) code=$(cat "$dir/exit" 2>/dev/null || echo 0)
    [ "$code" = 0 ] && { [ "$1" = start ] && echo active || echo inactive; } > "$dir/state"
    exit "$code" ;;
esac
)");
        QFile::setPermissions(path("systemctl"), QFile::ReadOwner | QFile::ExeOwner);
        QDir(dir_.path()).mkdir(QStringLiteral("units"));
    }

    QString unitDir() const { return path("units"); }
    // The calls so far, each the arguments joined by blanks.
    QStringList calls() const
    {
        QFile file(path("calls"));
        return file.open(QIODevice::ReadOnly)
            ? QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)
            : QStringList();
    }
    // Exit code for start and stop.
    void setRequestExitCode(int code) { write("exit", QByteArray::number(code)); }

private:
    QString path(const char *name) const { return dir_.filePath(QLatin1String(name)); }
    void write(const char *name, const QByteArray &bytes)
    {
        QFile file(path(name));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
    }

    QTemporaryDir dir_;
    ScopedEnv path_ {"PATH", dir_.path().toLocal8Bit() + ':' + qgetenv("PATH")};
    ScopedEnv unitDir_ {"VESSAMO_UNIT_DIR", unitDir().toLocal8Bit()};
};

} // namespace vessamo::test
