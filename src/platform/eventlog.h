// The application event log: every entry goes to syslog (identifier "Vessamo", facility
// daemon, priority err) and, when $VESSAMO_EVENTLOG names a file, is appended to it as one
// line: local time, TAB, type, TAB, identifier, TAB, the escaped text.
#pragma once

#include <QString>

namespace vessamo::platform {

// Every entry the system writes is an error event with this identifier.
inline constexpr int kEventError = 1;
inline constexpr int kEventId = 109;

void logEvent(int type, int id, const QString &text);

// The shorthand used everywhere: an error event, identifier 109.
inline void logError(const QString &text)
{
    logEvent(kEventError, kEventId, text);
}

// Backslash, CR and LF escaped, so that one entry stays one line; TAB as \t (the file's
// field separator) and every other control character (C0, DEL, C1) as \xHH, so that text
// from a server can neither split an entry nor drive a terminal.
QString escapeLine(const QString &text);

} // namespace vessamo::platform
