#include "platform/eventlog.h"

#include <QDateTime>
#include <QFile>
#include <syslog.h>

namespace vessamo::platform {

QString escapeLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\\')
            out += u"\\\\";
        else if (c == u'\r')
            out += u"\\r";
        else if (c == u'\n')
            out += u"\\n";
        else
            out += c;
    }
    return out;
}

void logEvent(int type, int id, const QString &text)
{
    static bool opened = false;
    if (!opened) {
        openlog("Vessamo", LOG_PID, LOG_DAEMON);
        opened = true;
    }
    syslog(LOG_DAEMON | LOG_ERR, "%s", text.toUtf8().constData());

    const QByteArray path = qgetenv("VESSAMO_EVENTLOG");
    if (path.isEmpty())
        return;
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QString line = QDateTime::currentDateTime().toString(u"yyyy-MM-ddTHH:mm:ss") + u'\t'
        + QString::number(type) + u'\t' + QString::number(id) + u'\t' + escapeLine(text) + u'\n';
    file.write(line.toUtf8());
}

} // namespace vessamo::platform
