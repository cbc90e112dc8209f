// Conversion between in-memory texts and the single-byte code page used in files and
// on the wire. Windows-1252 in both directions; characters outside it become "?".
#pragma once

#include <QByteArray>
#include <QString>

namespace vessamo::platform {

QByteArray toAnsi(const QString &text);
QString fromAnsi(const QByteArray &bytes);

} // namespace vessamo::platform
