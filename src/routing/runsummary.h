// What one routing run did, collected while it runs and read by the shell when it is over:
// per mailbox the messages fetched and the last error, the pairs forwarded, failed and
// caught as spam, and what the queue held at the end.
#pragma once

#include <QDateTime>
#include <QString>
#include <vector>

namespace vessamo::routing {

struct MailboxSummary
{
    QString name; // user@server
    int fetched = 0;
    QString lastError; // empty when the mailbox was read without an error
};

struct RunSummary
{
    QDateTime started;
    QDateTime ended;
    // False when the run was skipped (no network, the queue held by another process).
    bool ran = false;
    std::vector<MailboxSummary> mailboxes;
    int forwarded = 0;
    int failed = 0;
    int spam = 0;
    int queueSize = 0;
    qint64 oldestAgeSeconds = 0; // of the oldest queued pair; 0 when the queue is empty
};

} // namespace vessamo::routing
