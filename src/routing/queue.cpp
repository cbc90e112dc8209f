// The queue and archive store: creation of queued pairs under crash-safe names, the
// queue listing and pass, the pair check, moves into the archives and the purge.
// File operations that must report why they failed use POSIX calls, so the reason comes
// from errno and can be told in Catalan.
#include "routing/queue.h"

#include "config/configuracio.h"
#include "platform/ansi.h"
#include "platform/posixfd.h"
#include "routing/runcontext.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

namespace {

// Above this many files one syncfs() of the whole file system is cheaper than one
// fdatasync() per file.
constexpr qsizetype kSyncEachFileLimit = 256;

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
    platform::UniqueFd out(openNative(temp, O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 0777));
    if (!out.valid())
        return errno;
    int err = 0;
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n > 0 && !writeAll(out.get(), buffer.data(), n))) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
    }
    const std::array<timespec, 2> times = {st.st_atim, st.st_mtim};
    if (err == 0 && ::futimens(out.get(), times.data()) != 0)
        err = errno;
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
    syncPath(targetFolder, false);
    return 0;
}

StoreResult moveFile(const QString &name, const QString &source, const QString &target)
{
    const QString from = source + name;
    const QString to = target + name;
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0)
        return {};
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

// Names of the files in the folder whose names end with `suffix` (case-sensitive), in
// ascending order. One directory read, one sort.
QStringList filesEndingWith(const QString &folder, const QString &suffix)
{
    QStringList names;
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        if (name.size() > suffix.size() && name.endsWith(suffix, Qt::CaseSensitive))
            names.append(name);
    }
    std::sort(names.begin(), names.end());
    return names;
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
    return m_file && m_file->isOpen();
}

bool QueuedMessageFile::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (m_file->write(bytes) != bytes.size()) {
        m_error = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                      .arg(partPath(), m_file->errorString());
        return false;
    }
    m_size += bytes.size();
    return true;
}

bool QueuedMessageFile::commit()
{
    if (!isOpen())
        return false;
    const bool flushed = m_file->flush();
    m_file->close();
    if (!flushed || m_file->error() != QFileDevice::NoError) {
        m_error = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                      .arg(partPath(), m_file->errorString());
        discard();
        return false;
    }
    // QFile::rename never replaces an existing file.
    if (!m_file->rename(messagePath())) {
        m_error = QStringLiteral("Rebent: no s'ha pogut desar %1: %2")
                      .arg(messagePath(), m_file->errorString());
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
        if (QFile::exists(result.messagePath()) || QFile::exists(result.partPath()))
            continue;
        // A stem already filed in an archive is taken too: the move would replace that
        // pair (a second run within the same second, or a clock set back).
        if (stemArchived(result.m_stem, archiveFolders))
            continue;
        QFile pairFile(result.forwardToPath());
        if (!pairFile.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (pairFile.exists())
                continue;
            result.m_error = QStringLiteral("Rebent: no s'ha pogut crear %1: %2")
                                 .arg(pairFile.fileName(), pairFile.errorString());
            return result;
        }
        const bool written = pairFile.write(forwardTo) == forwardTo.size() && pairFile.flush();
        pairFile.close();
        if (!written || pairFile.error() != QFileDevice::NoError) {
            result.m_error = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                                 .arg(pairFile.fileName(), pairFile.errorString());
            pairFile.remove();
            return result;
        }
        auto file = std::make_unique<QFile>(result.partPath());
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            const bool taken = file->exists();
            result.m_error = QStringLiteral("Rebent: no s'ha pogut crear %1: %2")
                                 .arg(file->fileName(), file->errorString());
            pairFile.remove();
            if (taken)
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
    for (const QString &name : filesEndingWith(folder, kPartSuffix)) {
        if (QFile::remove(folder + name))
            ++removed;
    }
    return removed;
}

// ---- The queue pass ----

QString messageNameFor(const QString &forwardToName)
{
    // Taking the name without its suffix (rather than a fixed 19 characters) keeps a
    // stray, oddly named file from being paired with another pair's message.
    if (forwardToName.endsWith(kForwardToSuffix))
        return forwardToName.chopped(kForwardToSuffix.size()) + kMessageSuffix;
    return forwardToName.left(kStemLength) + kMessageSuffix;
}

QStringList listQueue(const QString &folder)
{
    return filesEndingWith(folder, kForwardToSuffix);
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
    for (const QString &name : listQueue(m_folder)) {
        if (!m_handedOut.contains(name)) {
            m_handedOut.insert(name);
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

// ---- Archives ----

StoreResult MoureParella(const QString &destinatariName, const QString &missatgeName,
                         const QString &sourcePath, const QString &targetPath)
{
    const QString sourceFolder = asFolder(sourcePath);
    const QString targetFolder = asFolder(targetPath);
    if (!QFileInfo(targetFolder).isDir()) {
        return StoreResult::failure(
            QStringLiteral("Arxivant: la carpeta %1 no existeix").arg(targetFolder));
    }
    // The message first: an interruption then leaves a forward-to file without message in
    // the queue (dropped by the next check), never a listed pair that lost its message.
    StoreResult moved = moveFile(missatgeName, sourceFolder, targetFolder);
    if (!moved)
        return moved;
    moved = moveFile(destinatariName, sourceFolder, targetFolder);
    if (!moved)
        moveFile(missatgeName, targetFolder, sourceFolder);
    return moved;
}

void PurgarArxiu(const QString &folderPath, int diesArxiu, const QDateTime &now,
                 const std::function<void()> &progress)
{
    const QString folder = asFolder(folderPath);
    if (diesArxiu <= 0)
        return;
    const QDate today = now.toLocalTime().date();
    for (const QString &name : listQueue(folder)) {
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
