#include "platform/lockfile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace vessamo::platform {

namespace {

LockFile failed(LockFile &lock, LockFile::Step step, int error)
{
    lock.fd.close();
    lock.state = LockFile::State::Failed;
    lock.step = step;
    lock.error = error;
    return std::move(lock);
}

} // namespace

LockFile lockFile(const QString &path, bool wait)
{
    LockFile lock;
    const QByteArray native = QFile::encodeName(path);
    // Read-only is enough for flock.
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    lock.fd = UniqueFd(::open(native.constData(), flags | O_CREAT | O_EXCL, 0600));
    if (lock.fd.valid()) {
        struct stat folder
        {
        };
        if (::geteuid() == 0
            && ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder) == 0
            && folder.st_uid != 0 && ::fchown(lock.fd.get(), folder.st_uid, folder.st_gid) != 0)
            return failed(lock, LockFile::Step::HandOver, errno);
    } else if (errno == EEXIST) {
        lock.fd = UniqueFd(::open(native.constData(), flags));
    }
    if (!lock.fd.valid())
        return failed(lock, LockFile::Step::Open, errno);
    struct stat st
    {
    };
    if (::fstat(lock.fd.get(), &st) != 0)
        return failed(lock, LockFile::Step::Check, errno);
    if (!S_ISREG(st.st_mode))
        return failed(lock, LockFile::Step::Check, 0);
    int rc;
    do {
        rc = ::flock(lock.fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        lock.state = LockFile::State::Held;
        return lock;
    }
    if (!wait && errno == EWOULDBLOCK) {
        lock.fd.close();
        lock.state = LockFile::State::Busy;
        return lock;
    }
    return failed(lock, LockFile::Step::Lock, errno);
}

} // namespace vessamo::platform
