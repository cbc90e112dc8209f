// Ownership checks, the service account and the configuration lock.
#include "config/filetrust.h"

#include "platform/lockfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::config {

namespace {

ServiceAccount g_serviceAccount;

// The lock this process holds, so that taking it again does not wait for itself (flock
// locks belong to the open file, and a second open would block on the first).
QString g_lockedPath;
int g_lockDepth = 0;

QString userName(uid_t uid)
{
    const passwd *user = ::getpwuid(uid);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid)
{
    const group *g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

// Why the entry at `path` is not safe, judged by its status.
std::optional<QString> judge(const QString &path, const struct stat &st, bool folder)
{
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return QStringLiteral("%1 és de l'usuari %2").arg(path, userName(st.st_uid));
    // A link's own mode means nothing; who may replace it is the folder's question.
    if (S_ISLNK(st.st_mode))
        return std::nullopt;
    if (folder && (st.st_mode & S_ISVTX) && st.st_uid == 0)
        return std::nullopt;
    if (st.st_mode & S_IWOTH)
        return QStringLiteral("qualsevol usuari pot escriure a %1").arg(path);
    if (st.st_mode & S_IWGRP)
        return QStringLiteral("el grup %1 pot escriure a %2").arg(groupName(st.st_gid), path);
    return std::nullopt;
}

// The file (as read, through any link) and its folders, as named.
std::optional<QString> judgeChain(const QString &file, bool everyFolder, bool followFolders)
{
    struct stat st
    {
    };
    const QByteArray nativeFile = QFile::encodeName(file);
    // A link as named is its owner's to point elsewhere (a sticky folder leaves it to them).
    if (!followFolders && ::lstat(nativeFile.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (std::optional<QString> why = judge(file, st, false))
            return why;
    }
    if (::stat(nativeFile.constData(), &st) == 0) {
        if (std::optional<QString> why = judge(file, st, false))
            return why;
    }
    QString folder = file;
    while (folder != u"/") {
        folder = QFileInfo(folder).path();
        const QByteArray native = QFile::encodeName(folder);
        const int r
            = followFolders ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st);
        if (r == 0) {
            if (std::optional<QString> why = judge(folder, st, true))
                return why;
        }
        if (!everyFolder)
            break;
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> writableByOthers(const QString &path, bool everyFolder)
{
    const QString named = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (std::optional<QString> why = judgeChain(named, everyFolder, false))
        return why;
    // And where the links lead: that file and its folders are what is really read.
    const QString real = QFileInfo(named).canonicalFilePath();
    if (!real.isEmpty() && real != named)
        return judgeChain(real, everyFolder, true);
    return std::nullopt;
}

void setServiceAccount(const QString &userName)
{
    g_serviceAccount = {};
    if (userName.isEmpty())
        return;
    if (const passwd *user = ::getpwnam(QFile::encodeName(userName).constData()))
        g_serviceAccount = {user->pw_uid, user->pw_gid, true};
}

ServiceAccount serviceAccount()
{
    return g_serviceAccount;
}

namespace {

QString lockFailure(const QString &lockPath, const platform::LockFile &lock)
{
    const QString reason = QString::fromLocal8Bit(std::strerror(lock.error));
    switch (lock.step) {
    case platform::LockFile::Step::HandOver:
        return QStringLiteral("no es pot donar %1 a l'usuari %2: %3")
            .arg(lockPath, userName(QFileInfo(QFileInfo(lockPath).path()).ownerId()), reason);
    case platform::LockFile::Step::Check:
        if (lock.error == 0)
            return QStringLiteral("%1 no és un fitxer normal").arg(lockPath);
        break;
    case platform::LockFile::Step::Lock:
        return QStringLiteral("no es pot bloquejar %1: %2").arg(lockPath, reason);
    case platform::LockFile::Step::Open:
        break;
    }
    return QStringLiteral("no es pot obrir %1: %2").arg(lockPath, reason);
}

} // namespace

ConfigurationLock::ConfigurationLock(const QString &path)
{
    const QString lockPath
        = QDir::cleanPath(QFileInfo(path).absoluteFilePath()) + QStringLiteral(".lock");
    if (g_lockDepth > 0 && g_lockedPath == lockPath) {
        ++g_lockDepth;
        held_ = true;
        return;
    }
    platform::LockFile lock = platform::lockFile(lockPath, true);
    if (lock.state != platform::LockFile::State::Held) {
        error_ = lockFailure(lockPath, lock);
        return;
    }
    fd_ = std::move(lock.fd);
    held_ = true;
    g_lockedPath = lockPath;
    g_lockDepth = 1;
}

ConfigurationLock::~ConfigurationLock()
{
    // Closing the file (fd_, unset in a nested lock) releases the lock.
    if (held_ && --g_lockDepth == 0)
        g_lockedPath.clear();
}

} // namespace vessamo::config
