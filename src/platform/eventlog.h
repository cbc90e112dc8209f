// The application event log: every entry goes to the systemd journal with structured
// fields (or, where no journal listens, to syslog: identifier "Vessamo", facility daemon)
// and, when $VESSAMO_EVENTLOG names a file, is appended to it as one line: local time,
// TAB, type, TAB, identifier, TAB, the escaped text.
//
// The journal gets the native protocol on /run/systemd/journal/socket, written here (a
// few lines, like the notify protocol in sdnotify.cpp) rather than through libsystemd:
// MESSAGE, PRIORITY, SYSLOG_IDENTIFIER=Vessamo, SYSLOG_FACILITY, SYSLOG_PID, the event's
// type and identifier, and the fields of the log scopes alive at the time (the mailbox
// being read, the message being forwarded).
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

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

// While alive, every entry carries the field NAME=VALUE to the journal (an inner scope
// with the same name hides the outer one). NAME: upper-case letters, digits and "_".
class LogScope
{
public:
    LogScope(const char *name, const QString &value);
    ~LogScope();
    LogScope(const LogScope &) = delete;
    LogScope &operator=(const LogScope &) = delete;
};

// While alive, remembers the text of the last entry written (the innermost capture only):
// the run keeps each mailbox's last error for its summary.
class LastEntryCapture
{
public:
    LastEntryCapture();
    ~LastEntryCapture();
    LastEntryCapture(const LastEntryCapture &) = delete;
    LastEntryCapture &operator=(const LastEntryCapture &) = delete;
    const QString &last() const { return last_; }

private:
    friend void logEvent(int, int, const QString &);
    LastEntryCapture *outer_;
    QString last_;
};

struct JournalField
{
    QByteArray name;
    QByteArray value;
    bool operator==(const JournalField &) const = default;
};

// The journal fields of one entry, scope fields included.
std::vector<JournalField> journalFields(int type, int id, const QString &text);
// The native protocol: NAME=VALUE lines; a value holding a line feed as NAME, LF, its
// 64-bit little-endian length, the bytes, LF.
QByteArray journalDatagram(const std::vector<JournalField> &fields);
// One entry to the journal's socket: a datagram, or for an entry too big for one (a
// server's reply of hundreds of kilobytes) the entry in a sealed memory file passed with
// the datagram; false when nothing listens there.
bool sendToJournal(const QByteArray &datagram, const QByteArray &socketPath);

// The text of a syslog entry: the escaped text in UTF-8, a longer one than fits in a
// syslog datagram cut to kSyslogTextMax bytes, ending in a marker that says so.
QByteArray syslogText(const QString &text);
inline constexpr qsizetype kSyslogTextMax = 8192;

inline constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

} // namespace vessamo::platform
