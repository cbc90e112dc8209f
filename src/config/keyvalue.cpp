#include "config/keyvalue.h"

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

} // namespace vessamo::config
