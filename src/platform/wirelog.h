// The wire log: what a client and a server said to each other, one line per protocol
// line, "C: " for what we sent and "S: " for what the server sent. Off by default; an
// administrator switches it on with Qt's logging rules, for example
//   QT_LOGGING_RULES="vessamo.wire.*.debug=true"          (both protocols)
//   QT_LOGGING_RULES="vessamo.wire.smtp.debug=true"       (SMTP only)
// and it goes to standard error. Secrets never reach it: callers hand over the masked
// form of a password or an AUTH answer. Control characters are escaped, so a hostile
// server cannot drive the administrator's terminal. The fake servers of the tests use the
// same format for their scripts.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLoggingCategory>
#include <QStringList>

namespace vessamo::platform {

Q_DECLARE_LOGGING_CATEGORY(lcWirePop3)
Q_DECLARE_LOGGING_CATEGORY(lcWireSmtp)

enum class WireSide : char { Client = 'C', Server = 'S' };

// The transcript lines of `bytes`: one per line, its line end dropped, prefixed "C: " or
// "S: ", every control character escaped (\r, \n, \t, \xHH). A last line without its line
// end is a line too.
QStringList transcriptLines(WireSide side, QByteArrayView bytes);

// Writes the transcript of `bytes` to the category when it is enabled for debug output.
void logWire(const QLoggingCategory &category, WireSide side, QByteArrayView bytes);

} // namespace vessamo::platform
