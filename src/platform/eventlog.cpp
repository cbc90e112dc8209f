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
        else if (c == u'\t')
            out += u"\\t";
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
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
    const QString escaped = escapeLine(text);
    syslog(LOG_DAEMON | LOG_ERR, "%s", escaped.toUtf8().constData());

    const QByteArray path = qgetenv("VESSAMO_EVENTLOG");
    if (path.isEmpty())
        return;
    QFile file(QString::fromLocal8Bit(path));
    // The log quotes server replies and addresses: readable by its owner only.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return;
    const QString line = QDateTime::currentDateTime().toString(u"yyyy-MM-ddTHH:mm:ss") + u'\t'
        + QString::number(type) + u'\t' + QString::number(id) + u'\t' + escaped + u'\n';
    file.write(line.toUtf8());
}

} // namespace vessamo::platform
