// What an administrator does to the queue and its archives: puts pairs from the failed or
// spam archive back into the queue (requeue) and deletes pairs from any of them. Both take
// the queue lock (queuelock.h), waiting a bounded time for a run that holds it, so no pair
// moves under a run. Root may act on the service's spool: only root and the folder's owner
// are let in, a file of a pair that is a link (or anything but a plain file) makes the
// pair refused, and what is created or moved keeps the owner and owner-only mode.
//
// A requeue is made of steps that each leave a state a later run or command understands,
// so a kill at any point loses no pair and never leaves it forwardable twice:
//   1. the queue's old first-attempt record of the stem is removed (the queue lifetime
//      starts again at the next attempt);
//   2. the attempts record is copied into the queue (under a temporary name, then renamed):
//      the history stays shown;
//   3. the forward-to file is moved into the queue;
//   4. the message is moved into the queue;
//   5. the archive's attempts record is removed.
// Killed after 2, the queue holds only a record without pair, which the next run removes.
// Killed after 3, the queue holds a forward-to file without message while the message is
// in the archive: the run's pair check moves the forward-to file back (the pair is in the
// archive, whole, as before), the listing shows it as "incomplete", and the same requeue
// given again finishes the move. Killed after 4, the pair is whole in the queue and the
// archive keeps a record without pair, which the next run removes. A pair is never whole
// in two folders, since every step is a rename or touches a record only.
//
// A delete removes the message first, then the forward-to file or sent mark, then the
// records: a forward-to file left alone is dropped by the run's pair check (queue) or
// shown "incomplete" by the listing and removed by the same delete given again.
#pragma once

#include "routing/queuelock.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <memory>

namespace vessamo::routing {

struct PairActionOutcome
{
    QString stem;
    bool ok = false;
    QString text; // what was done, or why not
};

struct QueueActionReport
{
    QString error; // why nothing was done at all; empty otherwise
    QList<PairActionOutcome> pairs;
    bool ok() const
    {
        return error.isEmpty()
            && std::all_of(pairs.begin(), pairs.end(),
                           [](const PairActionOutcome &p) { return p.ok; });
    }
};

// Why the folder may not be acted on (a link, not a folder, or the caller neither root nor
// its owner); empty when it may.
QString spoolRefusal(const QString &folder);

// The stems a requeue of "all" takes from the archive: every pair there, and every pair
// whose requeue into the queue was cut short.
QStringList requeueCandidates(const QString &queue, const QString &archive);
// The stems a delete of "all" takes from the folder.
QStringList deleteCandidates(const QString &folder);

// Moves the pairs of the given stems from the archive into the queue, each as described
// above. The caller holds the queue lock.
// Pairs taken from the spam archive (`fromSpam`) are marked released, so the queue pass
// forwards them without asking the anti-spam program again.
QueueActionReport requeuePairs(const QString &queue, const QString &archive,
                               const QStringList &stems, bool fromSpam = false);
// Deletes the pairs of the given stems from the folder with their records. The caller
// holds the queue lock when the folder is the queue or one of its archives.
QueueActionReport deletePairs(const QString &folder, const QStringList &stems);

// Takes the queue lock, waiting up to `waitMs` for the router that holds it; `onBusy` is
// called once when the wait begins. Nothing and `error` set when it could not be taken.
std::unique_ptr<QueueLock> waitForQueueLock(const QString &queueFolder, int waitMs,
                                            const std::function<void()> &onBusy, QString *error);

} // namespace vessamo::routing
