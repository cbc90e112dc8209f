#include "platform/routerpid.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vessamo::platform {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

int pidfdOpen(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

UniqueFd claimRouterPidFile(const QString &path)
{
    const QByteArray name = native(path);
    constexpr int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::open(name.constData(), flags | O_CREAT | O_EXCL, 0600));
    struct stat folder
    {
    };
    // Made by root in another user's folder (a router run by hand on the service's state):
    // the file is that user's, or the service could not claim it afterwards.
    if (fd.valid() && ::geteuid() == 0
        && ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder) == 0
        && folder.st_uid != 0 && ::fchown(fd.get(), folder.st_uid, folder.st_gid) != 0)
        return {};
    if (!fd.valid() && errno == EEXIST)
        fd = UniqueFd(::open(name.constData(), flags));
    struct stat st
    {
    };
    // Root truncates and writes what it opens here: a name the folder's owner linked to
    // another file (a hard link to /etc/shadow) must not be written through, so only a
    // file of one name, owned by us or by the folder's owner, is taken.
    const bool folderKnown
        = ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder) == 0;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1
        || (st.st_uid != ::geteuid()
            && (::geteuid() != 0 || !folderKnown || st.st_uid != folder.st_uid)))
        return {};
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return {};
    const QByteArray text = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd.get(), 0) != 0
        || ::pwrite(fd.get(), text.constData(), size_t(text.size()), 0) != text.size())
        return {};
    return fd;
}

bool flockHeld(const QString &path, pid_t *holder)
{
    struct stat st
    {
    };
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the device in hex major:minor.
    const QByteArray device
        = QByteArray::number(qulonglong(major(st.st_dev)), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(qulonglong(minor(st.st_dev)), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(qulonglong(st.st_ino));
    // Some file systems (btrfs, overlays) give stat(2) another device number than the one
    // the lock table shows: then the inode alone names the file. A wrong match can only
    // name another process, which the caller's checks of the holder then refuse.
    const QByteArray inode = ':' + QByteArray::number(qulonglong(st.st_ino));
    std::optional<pid_t> byInode;
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // A waiting request shows as "-> FLOCK ...": only granted locks count.
        if (fields.size() < 6 || fields[1] != "FLOCK")
            continue;
        const pid_t pid = pid_t(fields[4].toLongLong());
        if (fields[5] == device) {
            if (holder)
                *holder = pid;
            return true;
        }
        if (fields[5].endsWith(inode) && !byInode)
            byInode = pid;
    }
    if (byInode && holder)
        *holder = *byInode;
    return byInode.has_value();
}

RouterProcess findRouter(const QString &pidFilePath)
{
    RouterProcess router;
    const UniqueFd file(
        ::open(native(pidFilePath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st
    {
    };
    if (!file.valid()) {
        if (errno != ENOENT) {
            router.state = RouterProcess::State::Refused;
            router.error = QStringLiteral("no s'ha pogut obrir %1").arg(pidFilePath);
        }
        return router;
    }
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        router.state = RouterProcess::State::Refused;
        router.error = QStringLiteral("%1 no és un fitxer normal").arg(pidFilePath);
        return router;
    }
    char text[32] = {};
    const ssize_t n = ::pread(file.get(), text, sizeof text - 1, 0);
    bool ok = false;
    const qint64 pid = QByteArray(text, n > 0 ? int(n) : 0).trimmed().toLongLong(&ok);
    pid_t holder = 0;
    // No holder: the router that wrote it is gone.
    if (!flockHeld(pidFilePath, &holder))
        return router;
    const auto refuse = [&](const QString &why) {
        router.state = RouterProcess::State::Refused;
        router.error = QStringLiteral("%1: %2; no s'envia cap senyal").arg(pidFilePath, why);
        router.pidfd.close();
        return std::move(router);
    };
    if (!ok || pid <= 1 || pid != holder)
        return refuse(QStringLiteral("el procés que hi diu no és el que el té bloquejat"));
    router.pid = pid_t(pid);
    router.pidfd = UniqueFd(pidfdOpen(router.pid));
    if (!router.pidfd.valid())
        return refuse(QStringLiteral("el procés %1 no existeix").arg(pid));
    // Checked through /proc after the pidfd exists; the pidfd still alive afterwards proves
    // the checks were of the same process.
    struct stat proc
    {
    };
    const QByteArray procPath = "/proc/" + QByteArray::number(pid);
    if (::stat(procPath.constData(), &proc) != 0)
        return refuse(QStringLiteral("el procés %1 no existeix").arg(pid));
    if (proc.st_uid != st.st_uid && proc.st_uid != 0)
        return refuse(QStringLiteral("el procés %1 no és del propietari del fitxer").arg(pid));
    struct stat theirs
    {
    };
    struct stat ours
    {
    };
    if (::stat((procPath + "/exe").constData(), &theirs) != 0
        || ::stat("/proc/self/exe", &ours) != 0 || theirs.st_dev != ours.st_dev
        || theirs.st_ino != ours.st_ino)
        return refuse(QStringLiteral("el procés %1 no és aquest programa").arg(pid));
    if (::syscall(SYS_pidfd_send_signal, router.pidfd.get(), 0, nullptr, 0) != 0)
        return refuse(QStringLiteral("el procés %1 ha acabat").arg(pid));
    router.state = RouterProcess::State::Found;
    return router;
}

int sendSignal(const RouterProcess &router, int signal)
{
    if (router.state != RouterProcess::State::Found)
        return ESRCH;
    return ::syscall(SYS_pidfd_send_signal, router.pidfd.get(), signal, nullptr, 0) == 0 ? 0
                                                                                         : errno;
}

} // namespace vessamo::platform
