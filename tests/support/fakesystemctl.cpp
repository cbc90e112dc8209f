#include "support/fakesystemctl.h"

#include <QDir>
#include <QFile>

namespace vessamo::test {

namespace {

const char kScript[] = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  is-active)
    state=$(cat "$dir/state" 2>/dev/null || echo inactive)
    echo "$state"
    [ "$state" = active ] ;;
  start|stop)
    code=$(cat "$dir/exit" 2>/dev/null || echo 0)
    if [ "$code" = 0 ]; then
      if [ "$1" = start ]; then echo active > "$dir/state"; else echo inactive > "$dir/state"; fi
    fi
    exit "$code" ;;
esac
)";

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

} // namespace

FakeSystemctl::FakeSystemctl()
{
    const QString script = dir_.filePath(QStringLiteral("systemctl"));
    writeFile(script, kScript);
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(dir_.path()).mkdir(QStringLiteral("units"));
    path_ = std::make_unique<ScopedEnv>("PATH", dir_.path().toLocal8Bit() + ':' + qgetenv("PATH"));
    unitDir_ = std::make_unique<ScopedEnv>("VESSAMO_UNIT_DIR", unitDir().toLocal8Bit());
}

QStringList FakeSystemctl::calls() const
{
    QFile file(dir_.filePath(QStringLiteral("calls")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void FakeSystemctl::setRequestExitCode(int code)
{
    writeFile(dir_.filePath(QStringLiteral("exit")), QByteArray::number(code) + '\n');
}

} // namespace vessamo::test
