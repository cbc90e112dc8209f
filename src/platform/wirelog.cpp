#include "platform/wirelog.h"

#include "platform/eventlog.h"

namespace vessamo::platform {

Q_LOGGING_CATEGORY(lcWirePop3, "vessamo.wire.pop3", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWireSmtp, "vessamo.wire.smtp", QtInfoMsg)

QStringList transcriptLines(WireSide side, QByteArrayView bytes)
{
    const QString prefix = side == WireSide::Client ? QStringLiteral("C: ") : QStringLiteral("S: ");
    QStringList lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        if (end < 0)
            end = bytes.size();
        else if (end > start && bytes[end - 1] == '\r')
            --end;
        // Latin-1 keeps every byte as one character; the escaping shows the controls.
        lines << prefix + escapeLine(QString::fromLatin1(bytes.sliced(start, end - start)));
        start = next;
    }
    return lines;
}

void logWire(const QLoggingCategory &category, WireSide side, QByteArrayView bytes)
{
    if (!category.isDebugEnabled())
        return;
    for (const QString &line : transcriptLines(side, bytes))
        QMessageLogger(nullptr, 0, nullptr, category.categoryName()).debug().noquote() << line;
}

} // namespace vessamo::platform
