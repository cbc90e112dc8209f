#include "routing/queuebackend.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

namespace {

Q_LOGGING_CATEGORY(lcQueueBackend, "vessamo.routing.queue", QtInfoMsg)

QueueBackend systemBackend;
QueueBackend *current = &systemBackend;

int errnoOr(int fallback)
{
    return errno != 0 ? errno : fallback;
}

} // namespace

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

int openNative(const QString &path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = ::open(nativePath(path).constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

platform::UniqueFd openPlainFile(const QString &path, struct stat &st)
{
    platform::UniqueFd fd(openNative(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.close();
    return fd;
}

std::optional<QByteArray> readPlainFile(const QString &path, qint64 limit)
{
    struct stat st
    {
    };
    const platform::UniqueFd fd = openPlainFile(path, st);
    if (!fd.valid())
        return std::nullopt;
    QByteArray bytes(qMin<qint64>(st.st_size, limit), '\0');
    qsizetype size = 0;
    while (size < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + size, size_t(bytes.size() - size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += n;
    }
    bytes.truncate(size);
    return bytes;
}

int QueueBackend::create(const QString &path, bool exclusive, platform::UniqueFd &fd)
{
    // Never through a link, never waiting on a FIFO: the folders may be the service's while
    // root runs the router.
    fd = platform::UniqueFd(openNative(
        path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (exclusive ? O_EXCL : O_TRUNC),
        kFileMode));
    if (!fd.valid())
        return errno;
    // Root running the router over the service's folders: what it makes there is the
    // folder owner's, or the service could not read or rewrite it. Where owners cannot be
    // changed (a FAT file system) it stays root's, as before.
    // The router never changes its user: asked once, not for every file.
    static const uid_t user = ::geteuid();
    struct stat folder
    {
    };
    if (user == 0 && ::stat(nativePath(QFileInfo(path).path()).constData(), &folder) == 0
        && folder.st_uid != 0 && ::fchown(fd.get(), folder.st_uid, folder.st_gid) != 0)
        qCDebug(lcQueueBackend, "cannot give %s to its folder's owner: %s", qUtf8Printable(path),
                std::strerror(errno));
    return 0;
}

int QueueBackend::write(int fd, const char *data, qint64 length)
{
    while (length > 0) {
        errno = 0;
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return errnoOr(EIO);
        data += n;
        length -= n;
    }
    return 0;
}

int QueueBackend::flush(int fd)
{
    return ::fsync(fd) == 0 ? 0 : errno;
}

int QueueBackend::flush(const QString &path, bool dataOnly)
{
    platform::UniqueFd fd(openNative(path, O_RDONLY));
    if (!fd.valid())
        return errno;
    if ((dataOnly ? ::fdatasync(fd.get()) : ::fsync(fd.get())) != 0)
        return errno;
    return 0;
}

int QueueBackend::flushFileSystem(const QString &folder)
{
    platform::UniqueFd fd(openNative(folder, O_RDONLY | O_DIRECTORY));
    if (!fd.valid() || ::syncfs(fd.get()) != 0)
        return errno;
    return 0;
}

int QueueBackend::rename(const QString &from, const QString &to, bool replace)
{
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
    if (replace)
        return ::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a new hard link fails when the name is taken.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    ::unlink(source.constData());
    return 0;
}

int QueueBackend::remove(const QString &path)
{
    return ::unlink(nativePath(path).constData()) == 0 ? 0 : errno;
}

QueueBackend &queueBackend()
{
    return *current;
}

ScopedQueueBackend::ScopedQueueBackend(QueueBackend &backend)
    : previous_(current)
{
    current = &backend;
}

ScopedQueueBackend::~ScopedQueueBackend()
{
    current = previous_;
}

} // namespace vessamo::routing
