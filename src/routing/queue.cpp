// The queue and archive store: creation of queued pairs under crash-safe names, the
// queue listing and pass, the pair check, moves into the archives and the purge.
// File operations that must report why they failed use POSIX calls, so the reason comes
// from errno and can be told in Catalan.
//
// Folder syncs after a rename cost 2 to 3.5 ms each on an ext4 disk of the kind the
// benchmark runs on, more than the whole forwarding of a small message: the queue pass
// batches them (FolderSyncs) instead of paying one per message.
#include "routing/queue.h"

#include "config/configuracio.h"
#include "platform/ansi.h"
#include "platform/posixfd.h"
#include "routing/runcontext.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

namespace {

// Above this many files one syncfs() of the whole file system is cheaper than one
// fdatasync() per file.
constexpr qsizetype kSyncEachFileLimit = 256;
// Mail is private to the account that runs the router.
constexpr mode_t kFileMode = 0600;
// The queue pass syncs the folders it renamed in at most this often (and at its end): a
// power cut can then undo at most this much of its work.
constexpr qint64 kFolderSyncIntervalMs = 1000;

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

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

int openNative(const QString &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(nativePath(path).constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const char *data, ssize_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= n;
    }
    return true;
}

// 0 on success, else errno.
int syncPath(const QString &path, bool dataOnly)
{
    platform::UniqueFd fd(openNative(path, O_RDONLY));
    if (!fd.valid())
        return errno;
    if ((dataOnly ? ::fdatasync(fd.get()) : ::fsync(fd.get())) != 0)
        return errno;
    return 0;
}

// 0 on success, else errno. Copies the rest of `in` to `out`, block by block.
int copyContents(int in, int out)
{
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n > 0 && !writeAll(out, buffer.data(), n)))
            return errno != 0 ? errno : EIO;
        if (n == 0)
            return 0;
    }
}

// 0 on success, else errno. Copies the open file `in` (whose status is `st`) into a new
// owner-only file at `to`, keeping its times; the file is left open in `out`.
int copyToNewFile(int in, const struct stat &st, const QString &to, int flags,
                  std::unique_ptr<platform::UniqueFd> &out)
{
    out = std::make_unique<platform::UniqueFd>(
        openNative(to, O_WRONLY | O_CREAT | flags, kFileMode));
    if (!out->valid())
        return errno;
    int err = copyContents(in, out->get());
    const std::array<timespec, 2> times = {st.st_atim, st.st_mtim};
    if (err == 0 && ::futimens(out->get(), times.data()) != 0)
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
    const QString temp = to + kPartSuffix;
    std::unique_ptr<platform::UniqueFd> outFile;
    int err = copyToNewFile(in.get(), st, temp, O_TRUNC, outFile);
    platform::UniqueFd &out = *outFile;
    if (err == 0 && ::fsync(out.get()) != 0)
        err = errno;
    if (!out.close() && err == 0)
        err = errno;
    if (err == 0 && ::rename(nativePath(temp).constData(), nativePath(to).constData()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(nativePath(temp).constData());
        return err;
    }
    // The new name itself must be on disk before the source goes.
    if (const int synced = syncPath(targetFolder, false)) {
        ::unlink(nativePath(to).constData());
        return synced;
    }
    return 0;
}

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
    const QString from = source + name;
    const QString to = target + targetName;
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0) {
        if (syncs) {
            syncs->add(target);
            syncs->add(source);
            return {};
        }
        for (const QString &folder : {target, source}) {
            if (const int err = syncPath(folder, false))
                return syncFailure(folder, err);
        }
        return {};
    }
    int err = errno;
    if (err == EXDEV)
        err = copyDurably(from, to, target);
    if (err != 0) {
        return StoreResult::failure(QStringLiteral("Arxivant: no s'ha pogut moure %1 a %2: %3")
                                        .arg(name, target, reasonText(err)));
    }
    if (::unlink(nativePath(from).constData()) != 0) {
        err = errno;
        // Keep one copy only: the pair stays where the run will find it again.
        ::unlink(nativePath(to).constData());
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

// The name without its suffix: for a well-formed name, the stem.
QString stemOf(const QString &name)
{
    for (const QString &suffix : {kForwardToSuffix, kSentMarkSuffix}) {
        if (name.endsWith(suffix))
            return name.chopped(suffix.size());
    }
    return name.left(kStemLength);
}

} // namespace

// ---- QueuedMessageFile ----

QueuedMessageFile::QueuedMessageFile() = default;

QueuedMessageFile::QueuedMessageFile(QueuedMessageFile &&other) noexcept
    : m_file(std::move(other.m_file))
    , m_folder(std::move(other.m_folder))
    , m_stem(std::move(other.m_stem))
    , m_error(std::move(other.m_error))
    , m_size(other.m_size)
{
}

QueuedMessageFile &QueuedMessageFile::operator=(QueuedMessageFile &&other) noexcept
{
    if (this != &other) {
        if (m_file)
            discard();
        m_file = std::move(other.m_file);
        m_folder = std::move(other.m_folder);
        m_stem = std::move(other.m_stem);
        m_error = std::move(other.m_error);
        m_size = other.m_size;
    }
    return *this;
}

QueuedMessageFile::~QueuedMessageFile()
{
    if (m_file)
        discard();
}

bool QueuedMessageFile::isOpen() const
{
    return m_file && m_file->valid();
}

// Written straight to the file: the session hands over whole received blocks, and errno
// tells a full disk from other failures.
bool QueuedMessageFile::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (!writeAll(m_file->get(), bytes.constData(), bytes.size())) {
        const int err = errno != 0 ? errno : EIO;
        m_error = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                      .arg(partPath(), reasonText(err));
        return false;
    }
    m_size += bytes.size();
    return true;
}

bool QueuedMessageFile::commit()
{
    if (!isOpen())
        return false;
    if (!m_file->close()) {
        m_error = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                      .arg(partPath(), reasonText(errno));
        discard();
        return false;
    }
    // QFile::rename never replaces an existing file.
    QFile part(partPath());
    if (!part.rename(messagePath())) {
        m_error = QStringLiteral("Rebent: no s'ha pogut desar %1: %2")
                      .arg(messagePath(), part.errorString());
        discard();
        return false;
    }
    m_file.reset();
    return true;
}

void QueuedMessageFile::discard()
{
    if (!m_file)
        return;
    m_file->close();
    QFile::remove(partPath());
    QFile::remove(forwardToPath());
    m_file.reset();
}

// ---- Creating pairs ----

namespace {

bool stemArchived(const QString &stem, const QStringList &archiveFolders)
{
    for (const QString &folder : archiveFolders) {
        if (folder.isEmpty())
            continue;
        const QString base = asFolder(folder) + stem;
        if (QFile::exists(base + kForwardToSuffix) || QFile::exists(base + kMessageSuffix))
            return true;
    }
    return false;
}

// Creates a new owner-only file and writes all of `bytes` into it; 0 or errno.
int createWith(const QString &path, const QByteArray &bytes)
{
    platform::UniqueFd fd(openNative(path, O_WRONLY | O_CREAT | O_EXCL, kFileMode));
    if (!fd.valid())
        return errno;
    int err = writeAll(fd.get(), bytes.constData(), bytes.size()) ? 0 : errno;
    if (!fd.close() && err == 0)
        err = errno;
    return err;
}

} // namespace

QString stemFor(const QDateTime &now, int counter)
{
    const int digits = ((counter % 10000) + 10000) % 10000;
    return QLatin1Char('M') + now.toString(QStringLiteral("yyyyMMddHHmmss"))
        + QStringLiteral("%1").arg(digits, 4, 10, QLatin1Char('0'));
}

QueuedMessageFile openQueuedPair(int &runCounter, const QString &queueFolderPath,
                                 const QString &enviarA, const QDateTime &now,
                                 const QStringList &archiveFolders)
{
    const QString queueFolder = asFolder(queueFolderPath);
    QueuedMessageFile result;
    result.m_folder = queueFolder;
    const QByteArray forwardTo = platform::toAnsi(enviarA);
    // Every stem of this second may be taken only after 10,000 tries.
    for (int tries = 0; tries < 10000; ++tries) {
        ++runCounter;
        result.m_stem = stemFor(now, runCounter);
        // A sent mark left without its message would take the new message for a sent one.
        if (QFile::exists(result.messagePath()) || QFile::exists(result.partPath())
            || QFile::exists(queueFolder + result.m_stem + kSentMarkSuffix))
            continue;
        // A stem already filed in an archive is taken too: the move would replace that
        // pair (a second run within the same second, or a clock set back).
        if (stemArchived(result.m_stem, archiveFolders))
            continue;
        const QString pairPath = result.forwardToPath();
        if (const int err = createWith(pairPath, forwardTo)) {
            if (err == EEXIST)
                continue;
            const bool created = QFile::exists(pairPath);
            result.m_error = (created ? QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                                      : QStringLiteral("Rebent: no s'ha pogut crear %1: %2"))
                                 .arg(pairPath, reasonText(err));
            if (created)
                QFile::remove(pairPath);
            return result;
        }
        auto file = std::make_unique<platform::UniqueFd>(
            openNative(result.partPath(), O_WRONLY | O_CREAT | O_EXCL, kFileMode));
        if (!file->valid()) {
            const int err = errno;
            result.m_error = QStringLiteral("Rebent: no s'ha pogut crear %1: %2")
                                 .arg(result.partPath(), reasonText(err));
            QFile::remove(pairPath);
            if (err == EEXIST)
                continue;
            return result;
        }
        result.m_file = std::move(file);
        result.m_error.clear();
        return result;
    }
    result.m_error = QStringLiteral("Rebent: no queda cap nom lliure a la cua %1").arg(queueFolder);
    return result;
}

QueuedMessageFile ObrirParella(RunContext &ctx, const QString &enviarA)
{
    const config::ConfiguracioRecord &c = config::Configuracio;
    return openQueuedPair(ctx.runCounter, c.CarpetaCua, enviarA, QDateTime::currentDateTime(),
                          {c.CarpetaSiEnviats, c.CarpetaNoEnviats, c.CarpetaSpam});
}

StoreResult syncQueuedFiles(const QStringList &messagePaths, const QString &queueFolderPath)
{
    const QString queueFolder = asFolder(queueFolderPath);
    const auto failure = [](const QString &path, int err) {
        return StoreResult::failure(
            QStringLiteral("Rebent: no s'ha pogut desar a disc %1: %2").arg(path, reasonText(err)));
    };
    if (messagePaths.size() > kSyncEachFileLimit) {
        platform::UniqueFd folder(openNative(queueFolder, O_RDONLY | O_DIRECTORY));
        if (!folder.valid() || ::syncfs(folder.get()) != 0)
            return failure(queueFolder, errno);
        return {};
    }
    for (const QString &path : messagePaths) {
        QString pairPath = path;
        if (pairPath.endsWith(kMessageSuffix))
            pairPath = pairPath.chopped(kMessageSuffix.size()) + kForwardToSuffix;
        for (const QString &file : {path, pairPath}) {
            if (const int err = syncPath(file, true))
                return failure(file, err);
        }
    }
    if (const int err = syncPath(queueFolder, false))
        return failure(queueFolder, err);
    return {};
}

int removeLeftoverParts(const QString &folderPath)
{
    const QString folder = asFolder(folderPath);
    int removed = 0;
    for (const QString &name : filesEndingWith(folder, {kPartSuffix, kSafetyCopySuffix})) {
        const QString path = folder + name;
        if (name.endsWith(kSafetyCopySuffix)) {
            const QString message = path.chopped(kSafetyCopySuffix.size());
            const QFileInfo info(message);
            if ((!info.exists() || info.size() == 0)
                && ::rename(nativePath(path).constData(), nativePath(message).constData()) == 0) {
                ++removed;
                continue;
            }
        }
        if (QFile::remove(path))
            ++removed;
    }
    return removed;
}

// ---- The queue pass ----

QString messageNameFor(const QString &forwardToName)
{
    // Taking the name without its suffix (rather than a fixed 19 characters) keeps a
    // stray, oddly named file from being paired with another pair's message.
    return stemOf(forwardToName) + kMessageSuffix;
}

bool isSentMark(const QString &name)
{
    return name.endsWith(kSentMarkSuffix);
}

QString sentMarkFor(const QString &forwardToName)
{
    return stemOf(forwardToName) + kSentMarkSuffix;
}

QStringList listQueue(const QString &folder)
{
    return filesEndingWith(folder, {kForwardToSuffix, kSentMarkSuffix});
}

QDateTime queuedAt(const QString &folderPath, const QString &forwardToName)
{
    static const QRegularExpression stemPattern(QStringLiteral("^M(\\d{14})\\d{4}$"));
    const QRegularExpressionMatch match = stemPattern.match(stemOf(forwardToName));
    if (match.hasMatch()) {
        const QDateTime when
            = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMddHHmmss"));
        if (when.isValid())
            return when;
    }
    return QFileInfo(asFolder(folderPath) + forwardToName).lastModified();
}

bool queueLifetimeOver(const QString &folder, const QString &forwardToName, const QDateTime &now)
{
    const QDateTime when = queuedAt(folder, forwardToName);
    return when.isValid() && when.addDays(kQueueLifetimeDays) < now;
}

QueuePass::QueuePass(const QString &folder)
    : m_folder(asFolder(folder))
{
}

std::optional<QString> QueuePass::next()
{
    for (;;) {
        while (m_pos < m_names.size()) {
            const QString &name = m_names.at(m_pos++);
            if (QFileInfo::exists(m_folder + name))
                return name;
        }
        if (!refill())
            return std::nullopt;
    }
}

bool QueuePass::refill()
{
    QStringList fresh;
    // By stem: a pair marked sent during the pass is the same pair under another name.
    for (const QString &name : listQueue(m_folder)) {
        const QString stem = stemOf(name);
        if (!m_handedOut.contains(stem)) {
            m_handedOut.insert(stem);
            fresh.append(name);
        }
    }
    m_names = std::move(fresh);
    m_pos = 0;
    return !m_names.isEmpty();
}

PairCheck checkQueuedPair(const QString &folderPath, const QString &forwardToName)
{
    const QString folder = asFolder(folderPath);
    const QString forwardToPath = folder + forwardToName;
    const QFileInfo message(folder + messageNameFor(forwardToName));
    if (!message.isFile()) {
        QFile::remove(forwardToPath);
        return PairCheck::Dropped;
    }
    if (message.size() == 0) {
        QFile::remove(message.filePath());
        QFile::remove(forwardToPath);
        return PairCheck::Dropped;
    }
    return PairCheck::Usable;
}

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
        const int err = syncPath(folder, false);
        if (err != 0 && result)
            result = syncFailure(folder, err);
    }
    pending_.clear();
    return result;
}

StoreResult markSent(const QString &folderPath, const QString &forwardToName, FolderSyncs *syncs)
{
    const QString folder = asFolder(folderPath);
    const QString mark = sentMarkFor(forwardToName);
    if (::rename(nativePath(folder + forwardToName).constData(),
                 nativePath(folder + mark).constData())
        != 0) {
        return StoreResult::failure(
            QStringLiteral("Enviant: no s'ha pogut marcar com a enviat %1: %2")
                .arg(folder + forwardToName, reasonText(errno)));
    }
    if (syncs) {
        syncs->add(folder);
        return {};
    }
    if (const int err = syncPath(folder, false))
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
    platform::UniqueFd out(openNative(copy_, O_WRONLY | O_CREAT | O_TRUNC, kFileMode));
    int err = out.valid() ? 0 : errno;
    // A clone shares the blocks until either file changes; most file systems here cannot.
    if (err == 0 && ::ioctl(out.get(), FICLONE, in.get()) != 0)
        err = copyContents(in.get(), out.get());
    if (!out.close() && err == 0)
        err = errno;
    if (err != 0) {
        ::unlink(nativePath(copy_).constData());
        error_ = reasonText(err);
        return;
    }
    held_ = true;
}

SafetyCopy::~SafetyCopy()
{
    if (held_)
        ::unlink(nativePath(copy_).constData());
}

bool SafetyCopy::restoreIfLost()
{
    if (!held_)
        return false;
    const QFileInfo message(message_);
    if (message.exists() && message.size() > 0)
        return false;
    if (::rename(nativePath(copy_).constData(), nativePath(message_).constData()) != 0)
        return false;
    held_ = false;
    return true;
}

// ---- Archives ----

StoreResult MoureParella(const QString &destinatariName, const QString &missatgeName,
                         const QString &sourcePath, const QString &targetPath, FolderSyncs *syncs)
{
    const QString sourceFolder = asFolder(sourcePath);
    const QString targetFolder = asFolder(targetPath);
    if (!QFileInfo(targetFolder).isDir()) {
        return StoreResult::failure(
            QStringLiteral("Arxivant: la carpeta %1 no existeix").arg(targetFolder));
    }
    // The message first: an interruption then leaves a forward-to file without message in
    // the queue (dropped by the next check), never a listed pair that lost its message.
    StoreResult moved = moveFile(missatgeName, sourceFolder, targetFolder, missatgeName, syncs);
    if (!moved)
        return moved;
    // In an archive a sent mark is again the pair's forward-to file.
    const QString archivedName = isSentMark(destinatariName)
        ? stemOf(destinatariName) + kForwardToSuffix
        : destinatariName;
    moved = moveFile(destinatariName, sourceFolder, targetFolder, archivedName, syncs);
    if (!moved)
        moveFile(missatgeName, targetFolder, sourceFolder, missatgeName, syncs);
    return moved;
}

void PurgarArxiu(const QString &folderPath, int diesArxiu, const QDateTime &now,
                 const std::function<void()> &progress)
{
    const QString folder = asFolder(folderPath);
    if (diesArxiu <= 0)
        return;
    const QDate today = now.toLocalTime().date();
    for (const QString &name : filesEndingWith(folder, {kForwardToSuffix})) {
        if (progress)
            progress();
        const QFileInfo pair(folder + name);
        if (!pair.exists())
            continue;
        if (pair.lastModified().toLocalTime().date().daysTo(today) <= diesArxiu)
            continue;
        const QString messagePath = folder + messageNameFor(name);
        // Keep the forward-to file while its message is still there, so a later purge
        // finds the pair again instead of leaving a message that is never purged.
        if (QFileInfo::exists(messagePath) && !QFile::remove(messagePath))
            continue;
        QFile::remove(pair.filePath());
    }
}

void PurgarArxiu(RunContext &ctx, const QString &folder)
{
    PurgarArxiu(folder, config::Configuracio.DiesArxiu, QDateTime::currentDateTime(),
                [&ctx] { ctx.progressed(); });
}

} // namespace vessamo::routing
