// Reading back what the program wrote to $VESSAMO_EVENTLOG, and waiting until a child
// process is ready for a signal.
#pragma once

#include <QString>
#include <QStringList>

namespace vessamo::test {

// The texts of the entries in the event-log file, unescaped, in order.
QStringList eventLogTexts(const QString &path);

// True once the process has a handler for `signal` (it shows as caught in /proc), within
// `timeoutMs`: sending the signal earlier would kill it.
bool signalHandled(qint64 pid, int signal, int timeoutMs);

} // namespace vessamo::test
