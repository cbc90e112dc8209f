// The listing of a queue or archive folder for an administrator: one entry per pair with
// what forwarding would use (the envelope sender from the From: header, the forward-to
// address), its state and its failed attempts. Reads only and takes no lock, so it may run
// beside a run: a pair that moves away while it is read is left out. Root may run it on
// the service's spool: no link there is ever followed, and what a message put in its
// headers reaches a terminal only escaped.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace vessamo::routing {

struct AttemptClock;

enum class ListedFolder { Queue, Failed, Spam };

struct ListedPair
{
    QString stem;
    qint64 ageSeconds = 0; // since the message was stored
    qint64 size = 0; // of the message
    QString sender; // the envelope sender forwarding uses; empty when it finds none
    QString forwardTo;
    QString subject;
    // "waiting", "accepted" (a server took it; only its move is left), "expiring" (less
    // than a day of its queue lifetime left), "failed", "spam", or "incomplete" (the
    // forward-to file without its message: a move or delete was cut short).
    QString state;
    int attempts = 0;
    QDateTime lastFailure;
    QString lastError;
};

struct QueueListing
{
    bool ok = true;
    QString error; // why the folder could not be listed
    QList<ListedPair> pairs;
};

// Lists the folder (a queue or an archive, as `kind` says). Refused, with a reason, when
// the folder is a link or not a folder, or when the caller is neither root nor its owner.
QueueListing listPairs(const QString &folder, ListedFolder kind, const QDateTime &now,
                       const AttemptClock &clock);

// The text with every control character (C0, DEL, C1, and the Unicode format and
// separator characters that reorder or break lines) shown as \xHH or \uHHHH, and a
// backslash as two.
QString escapeForTerminal(const QString &text);

// One header line and one tab-separated line per pair, every field escaped.
QString listingText(const QList<ListedPair> &pairs);
// A JSON object {"folder": ..., "pairs": [...]}.
QByteArray listingJson(const QString &folder, const QList<ListedPair> &pairs);

} // namespace vessamo::routing
