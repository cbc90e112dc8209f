// Reading back what the program wrote to $VESSAMO_EVENTLOG.
#pragma once

#include <QFile>
#include <QStringList>

namespace vessamo::test {

// The texts of the entries in the event-log file, unescaped, in order.
inline QStringList eventLogTexts(const QString &path)
{
    QFile file(path);
    QStringList texts;
    if (!file.open(QIODevice::ReadOnly))
        return texts;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
        const QString escaped = line.section(u'\t', 3);
        QString &text = texts.emplace_back();
        for (qsizetype i = 0; i < escaped.size(); ++i) {
            QChar c = escaped[i];
            if (c == u'\\' && i + 1 < escaped.size()) {
                c = escaped[++i];
                if (c == u'x') {
                    c = QChar(escaped.mid(i + 1, 2).toUShort(nullptr, 16));
                    i += 2;
                } else if (const qsizetype at = QStringView(u"rnt").indexOf(c); at >= 0) {
                    c = u"\r\n\t"[at];
                }
            }
            text += c;
        }
    }
    return texts;
}

} // namespace vessamo::test
