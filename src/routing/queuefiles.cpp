// File operations of the queue and archive store that must say why they failed: POSIX
// calls, so the reason comes from errno and can be told in Catalan. Besides the helpers
// that queue.cpp uses, the durable records live here: folder syncs (batched for the queue
// pass), the sent mark and the safety copy kept while the anti-spam program runs.
//
// Folder syncs after a rename cost 2 to 7 ms each on the ext4 disk of the benchmark
// machine, more than the whole forwarding of a small message: the queue pass batches
// them (FolderSyncs) instead of paying up to three per message.
#include "routing/queuefiles.h"

#include "platform/posixfd.h"
#include "routing/queuebackend.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

namespace queuefiles {

namespace {

// The queue pass syncs the folders it renamed in at most this often (and at its end): a
// power cut can then undo at most this much of its work.
constexpr qint64 kFolderSyncIntervalMs = 1000;

} // namespace

// Folder paths end in "/" and names are appended to them; a configured path without it
// must not scatter files into the parent folder.
QString asFolder(const QString &path)
{
    return path.endsWith(u'/') ? path : path + u'/';
}

QString reasonText(int err)
{
    switch (err) {
    case ENOENT:
        return QStringLiteral("no existeix");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("el disc és ple");
    case EACCES:
    case EPERM:
        return QStringLiteral("permís denegat");
    case EROFS:
        return QStringLiteral("sistema de fitxers de només lectura");
    case EEXIST:
        return QStringLiteral("ja existeix");
    case EISDIR:
        return QStringLiteral("és una carpeta");
    default:
        return QString::fromLocal8Bit(std::strerror(err));
    }
}

// 0 on success, else errno. Copies the rest of `in` to `out`, block by block.
int copyContents(int in, int out)
{
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n > 0) {
            if (const int err = queueBackend().write(out, buffer.data(), n))
                return err;
        }
        if (n == 0)
            return 0;
    }
}

namespace {

// 0 on success, else errno. Copies the open file `in` (whose status is `st`) into a new
// owner-only file at `to`, keeping its times; the file is left open in `out`.
int copyToNewFile(int in, const struct stat &st, const QString &to, platform::UniqueFd &out)
{
    if (const int err = queueBackend().create(to, false, out))
        return err;
    int err = copyContents(in, out.get());
    const std::array<timespec, 2> times = {st.st_atim, st.st_mtim};
    if (err == 0 && ::futimens(out.get(), times.data()) != 0)
        err = errno;
    return err;
}

// 0 on success, else errno. Copies `from` to `to` through a temporary name beside `to`,
// on disk before it takes its name; keeps the last-modified time, so archive ages count
// from the download whether the move was a rename or a copy.
int copyDurably(const QString &from, const QString &to, const QString &targetFolder)
{
    platform::UniqueFd in(openNative(from, O_RDONLY));
    if (!in.valid())
        return errno;
    struct stat st
    {
    };
    if (::fstat(in.get(), &st) != 0)
        return errno;
    QueueBackend &backend = queueBackend();
    const QString temp = to + kPartSuffix;
    platform::UniqueFd out;
    int err = copyToNewFile(in.get(), st, temp, out);
    if (err == 0)
        err = backend.flush(out.get());
    if (!out.close() && err == 0)
        err = errno;
    if (err == 0)
        err = backend.rename(temp, to);
    if (err != 0) {
        backend.remove(temp);
        return err;
    }
    // The new name itself must be on disk before the source goes.
    if (const int synced = backend.flush(targetFolder, false)) {
        backend.remove(to);
        return synced;
    }
    return 0;
}

} // namespace

StoreResult syncFailure(const QString &folder, int err)
{
    return StoreResult::failure(
        QStringLiteral("Arxivant: no s'ha pogut desar a disc %1: %2").arg(folder, reasonText(err)));
}

// Moves source + name to target + targetName. A rename leaves both folders to be synced,
// through `syncs` or at once.
StoreResult moveFile(const QString &name, const QString &source, const QString &target,
                     const QString &targetName, FolderSyncs *syncs)
{
    QueueBackend &backend = queueBackend();
    const QString from = source + name;
    const QString to = target + targetName;
    int err = backend.rename(from, to);
    if (err == 0) {
        if (syncs) {
            syncs->add(target);
            syncs->add(source);
            return {};
        }
        for (const QString &folder : {target, source}) {
            if (const int synced = backend.flush(folder, false))
                return syncFailure(folder, synced);
        }
        return {};
    }
    if (err == EXDEV)
        err = copyDurably(from, to, target);
    if (err != 0) {
        return StoreResult::failure(QStringLiteral("Arxivant: no s'ha pogut moure %1 a %2: %3")
                                        .arg(name, target, reasonText(err)));
    }
    if ((err = backend.remove(from)) != 0) {
        // Keep one copy only: the pair stays where the run will find it again.
        backend.remove(to);
        return StoreResult::failure(QStringLiteral("Arxivant: no s'ha pogut esborrar %1 de %2: %3")
                                        .arg(name, source, reasonText(err)));
    }
    return {};
}

// Names of the files in the folder whose names end with one of the suffixes
// (case-sensitive), in ascending order. One directory read, one sort.
QStringList filesEndingWith(const QString &folder, std::initializer_list<QString> suffixes)
{
    QStringList names;
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        for (const QString &suffix : suffixes) {
            if (name.size() > suffix.size() && name.endsWith(suffix, Qt::CaseSensitive)) {
                names.append(name);
                break;
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace queuefiles

using namespace queuefiles;

// ---- Durable records ----

FolderSyncs::FolderSyncs()
{
    sinceFlush_.start();
}

void FolderSyncs::add(const QString &folder)
{
    pending_.insert(asFolder(folder));
}

StoreResult FolderSyncs::flushIfDue()
{
    if (sinceFlush_.elapsed() < kFolderSyncIntervalMs)
        return {};
    return flush();
}

StoreResult FolderSyncs::flush()
{
    sinceFlush_.restart();
    StoreResult result;
    for (const QString &folder : std::as_const(pending_)) {
        const int err = queueBackend().flush(folder, false);
        if (err != 0 && result)
            result = syncFailure(folder, err);
    }
    pending_.clear();
    return result;
}

StoreResult markSent(const QString &folderPath, const QString &forwardToName, FolderSyncs *syncs)
{
    const QString folder = asFolder(folderPath);
    const QString mark = QueuePair(forwardToName).sentMarkName();
    if (const int err = queueBackend().rename(folder + forwardToName, folder + mark)) {
        return StoreResult::failure(
            QStringLiteral("Enviant: no s'ha pogut marcar com a enviat %1: %2")
                .arg(folder + forwardToName, reasonText(err)));
    }
    if (syncs) {
        syncs->add(folder);
        return {};
    }
    if (const int err = queueBackend().flush(folder, false))
        return syncFailure(folder, err);
    return {};
}

SafetyCopy::SafetyCopy(const QString &messagePath)
    : message_(messagePath)
    , copy_(messagePath + kSafetyCopySuffix)
{
    platform::UniqueFd in(openNative(message_, O_RDONLY));
    struct stat st
    {
    };
    if (!in.valid() || ::fstat(in.get(), &st) != 0) {
        error_ = reasonText(errno);
        return;
    }
    // A copy left by a crash is ours to replace: the run put its message back at start.
    platform::UniqueFd out;
    int err = queueBackend().create(copy_, false, out);
    // A clone shares the blocks until either file changes; most file systems here cannot.
    if (err == 0 && ::ioctl(out.get(), FICLONE, in.get()) != 0)
        err = copyContents(in.get(), out.get());
    if (!out.close() && err == 0)
        err = errno;
    if (err != 0) {
        queueBackend().remove(copy_);
        error_ = reasonText(err);
        return;
    }
    held_ = true;
}

SafetyCopy::~SafetyCopy()
{
    if (held_)
        queueBackend().remove(copy_);
}

bool SafetyCopy::restoreIfLost()
{
    if (!held_)
        return false;
    const QFileInfo message(message_);
    if (message.exists() && message.size() > 0)
        return false;
    if (queueBackend().rename(copy_, message_) != 0)
        return false;
    held_ = false;
    return true;
}

} // namespace vessamo::routing
