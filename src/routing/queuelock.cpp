// The queue lock: one open(2) and one flock(2), released when the descriptor closes.
#include "routing/queuelock.h"

#include "routing/queuefiles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

using namespace queuefiles;

QueueLock::QueueLock(const QString &queueFolder)
    : path_(asFolder(queueFolder) + kQueueLockName)
{
    // Read-only is enough for flock; O_NONBLOCK keeps a FIFO planted under the name from
    // holding the run, and O_NOFOLLOW a link from creating a file elsewhere.
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    fd_ = platform::UniqueFd(openNative(path_, flags | O_CREAT | O_EXCL, kFileMode));
    if (fd_.valid()) {
        // Made by root (an administrator's "vessamo /E"): it goes to the folder's owner, or
        // the service could never open it again and would route nothing.
        struct stat folder
        {
        };
        if (::geteuid() == 0 && ::stat(nativePath(asFolder(queueFolder)).constData(), &folder) == 0
            && folder.st_uid != 0 && ::fchown(fd_.get(), folder.st_uid, folder.st_gid) != 0) {
            error_ = reasonText(errno);
            fd_.close();
            return;
        }
    } else if (errno == EEXIST) {
        fd_ = platform::UniqueFd(openNative(path_, flags));
    }
    if (!fd_.valid()) {
        error_ = errno == ELOOP ? QStringLiteral("és un enllaç") : reasonText(errno);
        return;
    }
    struct stat st
    {
    };
    if (::fstat(fd_.get(), &st) != 0) {
        error_ = reasonText(errno);
        fd_.close();
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = QStringLiteral("no és un fitxer normal");
        fd_.close();
        return;
    }
    int rc;
    do {
        rc = ::flock(fd_.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        state_ = State::Held;
        return;
    }
    if (errno == EWOULDBLOCK) {
        state_ = State::Busy;
    } else {
        error_ = reasonText(errno);
    }
    fd_.close();
}

} // namespace vessamo::routing
