#include "config/keyvalue.h"

#include <QStringList>

namespace vessamo::config {

// Values keep their blanks and odd characters only inside quotes.
QString quoteValue(const QString &value)
{
    const bool plain = value == value.trimmed() && !value.startsWith(u'"') && !value.contains(u'\n')
        && !value.contains(u'\r') && !value.contains(u'\t');
    if (plain)
        return value;
    QString out = QStringLiteral("\"");
    for (QChar c : value) {
        if (c == u'"' || c == u'\\') {
            out += u'\\';
            out += c;
        } else if (c == u'\n') {
            out += QStringLiteral("\\n");
        } else if (c == u'\r') {
            out += QStringLiteral("\\r");
        } else if (c == u'\t') {
            out += QStringLiteral("\\t");
        } else {
            out += c;
        }
    }
    return out + u'"';
}

std::optional<QString> unquoteValue(const QString &raw)
{
    const QString value = raw.trimmed();
    if (!value.startsWith(u'"'))
        return value;
    if (value.size() < 2 || !value.endsWith(u'"'))
        return std::nullopt;
    QString out;
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        QChar c = value[i];
        if (c == u'\\') {
            if (i + 2 >= value.size())
                return std::nullopt;
            const QChar e = value[++i];
            c = e == u'n' ? QChar(u'\n') : e == u'r' ? QChar(u'\r') : e == u't' ? QChar(u'\t') : e;
        } else if (c == u'"') {
            return std::nullopt;
        }
        out += c;
    }
    return out;
}

QString lineError(qsizetype number, const QString &what)
{
    return QStringLiteral("línia %1: %2").arg(number).arg(what);
}

KeyValueText readKeyValueText(const QString &text)
{
    KeyValueText read;
    const QStringList lines = text.split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString raw = lines[n].endsWith(u'\r') ? lines[n].chopped(1) : lines[n];
        const QString trimmed = raw.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
            continue;
        const qsizetype eq = raw.indexOf(u'=');
        if (eq < 0) {
            read.error = lineError(n + 1, QStringLiteral("s'esperava clau = valor"));
            break;
        }
        const std::optional<QString> value = unquoteValue(raw.mid(eq + 1));
        if (!value) {
            read.error = lineError(n + 1, QStringLiteral("valor entre cometes mal tancat"));
            break;
        }
        read.lines.push_back({n + 1, raw.first(eq).trimmed(), *value});
    }
    return read;
}

} // namespace vessamo::config
