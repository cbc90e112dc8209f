// What a relay puts between its DATA reply and the end-of-data line for a stored message
// that ends with CR LF: every line that begins with "." gets one more, the first line
// included, and nothing else changes.
#pragma once

#include <QByteArray>

namespace vessamo::test {

inline QByteArray relayedData(const QByteArray &message)
{
    QByteArray out;
    qsizetype start = 0;
    while (start < message.size()) {
        qsizetype end = message.indexOf("\r\n", start);
        end = end < 0 ? message.size() : end + 2;
        if (message.at(start) == '.')
            out += '.';
        out += message.mid(start, end - start);
        start = end;
    }
    return out;
}

} // namespace vessamo::test
