#include "platform/servicecontrol.h"

#include "platform/eventlog.h"
#include "platform/process.h"
#include "platform/sdnotify.h"
#include "platform/unittemplate.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QSaveFile>

namespace vessamo::platform {

namespace {

// systemd's quoting for one word of ExecStart or ReadWritePaths.
QString quoteWord(const QString &path)
{
    QString escaped = path;
    escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    return u'"' + escaped + u'"';
}

bool systemctl(const QStringList &args)
{
    const QString program = findOnPath(QStringLiteral("systemctl"));
    if (program.isEmpty())
        return false;
    const ProcessResult result = runProgram(program, args);
    return result.started && result.exitCode == 0;
}

} // namespace

ServiceControl::ServiceControl(QObject *parent)
    : QObject(parent)
{
}

QString ServiceControl::unitDirectory()
{
    const QByteArray dir = qgetenv("VESSAMO_UNIT_DIR");
    return dir.isEmpty() ? QStringLiteral("/etc/systemd/system") : QString::fromLocal8Bit(dir);
}

QString ServiceControl::unitText() const
{
    QStringList writable;
    for (const QString &path : writable_)
        writable << quoteWord(path);
    QString text = QString::fromUtf16(kUnitTemplate);
    text.replace(QStringLiteral("@DESCRIPTION@"), DisplayName)
        .replace(QStringLiteral("@EXECUTABLE@"), quoteWord(executable_))
        .replace(QStringLiteral("@WRITABLE_PATHS@"), writable.join(u' '))
        .replace(QStringLiteral("@CONFIGURATION@"), configuration_);
    return text;
}

bool ServiceControl::Install()
{
    if (findOnPath(QStringLiteral("systemctl")).isEmpty() || executable_.isEmpty())
        return false;
    QSaveFile unit(QDir(unitDirectory()).filePath(unitFileName()));
    if (!unit.open(QIODevice::WriteOnly))
        return false;
    unit.write(unitText().toUtf8());
    if (!unit.commit())
        return false;
    return systemctl({QStringLiteral("daemon-reload")})
        && systemctl({QStringLiteral("enable"), unitFileName()});
}

bool ServiceControl::Uninstall()
{
    const QString path = QDir(unitDirectory()).filePath(unitFileName());
    if (findOnPath(QStringLiteral("systemctl")).isEmpty() || !QFile::exists(path))
        return false;
    systemctl({QStringLiteral("disable"), unitFileName()});
    if (!QFile::remove(path))
        return false;
    systemctl({QStringLiteral("daemon-reload")});
    return true;
}

void ServiceControl::StartService()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET")) {
                Q_EMIT dispatcherFinished();
                return;
            }
            bool success = false;
            Q_EMIT Start(&success);
            running_ = success;
            if (success)
                sdNotify(QByteArrayLiteral("READY=1"));
            Q_EMIT dispatcherFinished();
        },
        Qt::QueuedConnection);
}

void ServiceControl::StopService()
{
    // --no-block: systemctl would otherwise wait for our own stop, which needs this thread.
    const QString program = findOnPath(QStringLiteral("systemctl"));
    if (!program.isEmpty())
        runProgram(program, {QStringLiteral("--no-block"), QStringLiteral("stop"), unitFileName()});
}

void ServiceControl::deliverStop()
{
    sdNotify(QByteArrayLiteral("STOPPING=1"));
    Q_EMIT Stop();
    running_ = false;
}

void ServiceControl::LogEvent(int type, int id, const QString &text)
{
    logEvent(type, id, text);
}

} // namespace vessamo::platform
