// What a relay puts between its DATA reply and the end-of-data line for a stored message
// that ends with CR LF: every line that begins with "." gets one more, the first line
// included, and nothing else changes.
#pragma once

#include <QByteArray>

namespace vessamo::test {

inline QByteArray relayedData(QByteArray message)
{
    return (message.startsWith('.') ? "." : "") + message.replace("\r\n.", "\r\n..");
}

} // namespace vessamo::test
