#include "support/eventlogfile.h"

#include "support/tempenv.h"

#include <QFile>

namespace vessamo::test {

QStringList eventLogTexts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList texts;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
        const QString escaped = line.section(u'\t', 3);
        QString text;
        for (qsizetype i = 0; i < escaped.size(); ++i) {
            if (escaped[i] == u'\\' && i + 1 < escaped.size()) {
                const QChar next = escaped[++i];
                if (next == u'x' && i + 2 < escaped.size()) {
                    text += QChar(escaped.mid(i + 1, 2).toUShort(nullptr, 16));
                    i += 2;
                } else {
                    text += next == u'r' ? QChar(u'\r')
                        : next == u'n'   ? QChar(u'\n')
                        : next == u't'   ? QChar(u'\t')
                                         : next;
                }
            } else {
                text += escaped[i];
            }
        }
        texts << text;
    }
    return texts;
}

bool signalHandled(qint64 pid, int signal, int timeoutMs)
{
    return eventually(
        [&] {
            QFile status(QStringLiteral("/proc/%1/status").arg(pid));
            if (!status.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("SigCgt:"))
                    return (line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << (signal - 1)))
                        != 0;
            }
            return false;
        },
        timeoutMs);
}

} // namespace vessamo::test
