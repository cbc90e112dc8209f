// The lock that keeps one router at a time on a queue: a service and a tray program, or two
// "vessamo /E", may share one configuration, and two runs over one queue would forward the
// same pairs twice and clean up each other's downloads. A run holds an exclusive flock(2)
// on a lock file in the queue folder for its whole length (mailboxes, queue pass, purge);
// a run that finds it held does nothing and waits for the next interval.
//
// The lock file is platform::lockFile's; its descriptor is not inherited by the programs
// the run starts, so a child left running cannot keep the queue locked.
#pragma once

#include "platform/posixfd.h"

#include <QString>

namespace vessamo::routing {

inline const QString kQueueLockName = QStringLiteral(".vessamo.lock");

class QueueLock
{
public:
    enum class State {
        Held, // this run has the queue
        Busy, // another router has it
        Failed, // the lock file could not be opened or locked: see errorString()
    };

    // Tries once, without waiting.
    explicit QueueLock(const QString &queueFolder);
    QueueLock(const QueueLock &) = delete;
    QueueLock &operator=(const QueueLock &) = delete;

    State state() const { return state_; }
    bool held() const { return state_ == State::Held; }
    // Why the lock failed ("no existeix", ...).
    const QString &errorString() const { return error_; }
    // The lock file's full path.
    const QString &path() const { return path_; }

private:
    platform::UniqueFd fd_;
    QString path_;
    QString error_;
    State state_ = State::Failed;
};

} // namespace vessamo::routing
