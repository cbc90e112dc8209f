#include "routing/queuelock.h"

#include "platform/lockfile.h"
#include "routing/queuefiles.h"

#include <cerrno>

namespace vessamo::routing {

using namespace queuefiles;

QueueLock::QueueLock(const QString &queueFolder)
    : path_(asFolder(queueFolder) + kQueueLockName)
{
    platform::LockFile lock = platform::lockFile(path_, false);
    switch (lock.state) {
    case platform::LockFile::State::Held:
        fd_ = std::move(lock.fd);
        state_ = State::Held;
        return;
    case platform::LockFile::State::Busy:
        state_ = State::Busy;
        return;
    case platform::LockFile::State::Failed:
        break;
    }
    if (lock.error == ELOOP && lock.step == platform::LockFile::Step::Open)
        error_ = QStringLiteral("és un enllaç");
    else if (lock.error == 0)
        error_ = QStringLiteral("no és un fitxer normal");
    else
        error_ = reasonText(lock.error);
}

} // namespace vessamo::routing
