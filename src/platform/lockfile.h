// An exclusive flock(2) on a lock file that holds no data: the configuration's, taken by
// the editors around a save, and the queue's, taken by a routing run. The file is opened
// without following a link and without waiting on a FIFO planted under its name, created
// owner-only when missing and, when root creates it in another user's folder, handed to
// that folder's owner (else the owner's own next lock could not open it). It is never
// removed: a third party could then lock a new file while the second still holds the old
// one. Closing the descriptor releases the lock.
#pragma once

#include "platform/posixfd.h"

#include <QString>

namespace vessamo::platform {

struct LockFile
{
    enum class State {
        Held, // the lock is ours while `fd` is open
        Busy, // another holder has it (only when not waiting)
        Failed, // `step` failed with `error`
    };
    enum class Step {
        Open,
        HandOver, // to the folder's owner
        Check, // the name is not a regular file (error 0) or fstat failed
        Lock,
    };

    UniqueFd fd;
    State state = State::Failed;
    Step step = Step::Open;
    int error = 0;
};

// Takes the lock at `path`; with `wait`, blocks until the other holder lets go.
LockFile lockFile(const QString &path, bool wait);

} // namespace vessamo::platform
