#include "platform/privatefile.h"

#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::platform {

namespace {

QString systemError(const QString &what, int error)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error)));
}

struct Folder
{
    UniqueFd fd;
    struct stat info
    {
    };
    QString error;
};

// The folder opened without following a link at its last step, and judged on what was
// opened (not on a name that could change in between).
Folder openFolder(const QString &path)
{
    Folder folder;
    const QByteArray native = path.toLocal8Bit();
    folder.fd
        = UniqueFd(::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.fd.valid()) {
        folder.error = errno == ENOTDIR || errno == ELOOP
            ? QStringLiteral("%1 is not a folder (a link or a file)").arg(path)
            : systemError(QStringLiteral("cannot open the folder %1").arg(path), errno);
        return folder;
    }
    if (::fstat(folder.fd.get(), &folder.info) != 0) {
        folder.error = systemError(QStringLiteral("cannot examine %1").arg(path), errno);
        return folder;
    }
    const uid_t self = ::geteuid();
    if ((folder.info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.error = QStringLiteral("the folder %1 may be written by others (mode %2): "
                                      "it must be 0700")
                           .arg(path)
                           .arg(folder.info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    } else if (self != 0 && folder.info.st_uid != self && folder.info.st_uid != 0) {
        folder.error = QStringLiteral("the folder %1 belongs to another user (uid %2)")
                           .arg(path)
                           .arg(folder.info.st_uid);
    }
    return folder;
}

QByteArray nativeName(const QString &name)
{
    return name.toLocal8Bit();
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

std::optional<QString> privateFolderProblem(const QString &path)
{
    const Folder folder = openFolder(path);
    if (folder.error.isEmpty())
        return std::nullopt;
    return folder.error;
}

PrivateRead readPrivateFile(const QString &folderPath, const QString &name, qint64 maxBytes)
{
    PrivateRead read;
    const Folder folder = openFolder(folderPath);
    if (!folder.error.isEmpty()) {
        read.error = folder.error;
        return read;
    }
    const UniqueFd fd(::openat(folder.fd.get(), nativeName(name).constData(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            read.missing = true;
        else if (errno == ELOOP)
            read.error = QStringLiteral("%1/%2 is a symbolic link: refused").arg(folderPath, name);
        else
            read.error
                = systemError(QStringLiteral("cannot open %1/%2").arg(folderPath, name), errno);
        return read;
    }
    struct stat info
    {
    };
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        read.error = QStringLiteral("%1/%2 is not a regular file").arg(folderPath, name);
        return read;
    }
    if (info.st_size > maxBytes) {
        read.error = QStringLiteral("%1/%2 is too large").arg(folderPath, name);
        return read;
    }
    QByteArray bytes(qsizetype(info.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            read.error
                = systemError(QStringLiteral("cannot read %1/%2").arg(folderPath, name), errno);
            return read;
        }
        if (n == 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    read.bytes = bytes;
    return read;
}

QString writePrivateFile(const QString &folderPath, const QString &name, const QByteArray &bytes)
{
    const Folder folder = openFolder(folderPath);
    if (!folder.error.isEmpty())
        return folder.error;
    const int dir = folder.fd.get();
    // A fresh name each time: O_EXCL never reuses whatever someone may have left there.
    QByteArray temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
        temporary = "." + nativeName(name) + ".new-"
            + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        fd = UniqueFd(::openat(dir, temporary.constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno != EEXIST)
            break;
    }
    const QString shown = folderPath + QLatin1Char('/') + name;
    if (!fd.valid())
        return systemError(QStringLiteral("cannot create a temporary file beside %1").arg(shown),
                           errno);
    // The umask may have taken bits away, never added any; make the mode exact anyway.
    const bool handOver = ::geteuid() == 0 && folder.info.st_uid != 0;
    const bool ok = ::fchmod(fd.get(), 0600) == 0
        && (!handOver || ::fchown(fd.get(), folder.info.st_uid, folder.info.st_gid) == 0)
        && writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0 && fd.close()
        && ::renameat(dir, temporary.constData(), dir, nativeName(name).constData()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlinkat(dir, temporary.constData(), 0);
        return systemError(QStringLiteral("cannot write %1").arg(shown), error);
    }
    if (::fsync(dir) != 0)
        return systemError(QStringLiteral("cannot sync the folder of %1").arg(shown), errno);
    return QString();
}

QString removePrivateFile(const QString &folderPath, const QString &name)
{
    const Folder folder = openFolder(folderPath);
    if (!folder.error.isEmpty())
        return folder.error;
    if (::unlinkat(folder.fd.get(), nativeName(name).constData(), 0) != 0 && errno != ENOENT)
        return systemError(QStringLiteral("cannot remove %1/%2").arg(folderPath, name), errno);
    if (::fsync(folder.fd.get()) != 0)
        return systemError(QStringLiteral("cannot sync the folder %1").arg(folderPath), errno);
    return QString();
}

} // namespace vessamo::platform
