// The queue and archive store: creation of queued pairs under crash-safe names, the
// queue listing and pass, the pair check, moves into the archives and the purge. The file
// operations that must say why they failed are in queuefiles.cpp, the pair's file names in
// queuepair.h.
#include "routing/queue.h"

#include "config/configuracio.h"
#include "platform/ansi.h"
#include "platform/posixfd.h"
#include "routing/queuebackend.h"
#include "routing/queuefiles.h"
#include "routing/runcontext.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vessamo::routing {

using namespace queuefiles;

namespace {

// Above this many files one syncfs() of the whole file system is cheaper than one
// fdatasync() per file.
constexpr qsizetype kSyncEachFileLimit = 256;

} // namespace

// ---- QueuedMessageFile ----

QueuedMessageFile::QueuedMessageFile() = default;

QueuedMessageFile::QueuedMessageFile(QueuedMessageFile &&other) noexcept
    : file_(std::move(other.file_))
    , folder_(std::move(other.folder_))
    , stem_(std::move(other.stem_))
    , error_(std::move(other.error_))
    , size_(other.size_)
{
}

QueuedMessageFile &QueuedMessageFile::operator=(QueuedMessageFile &&other) noexcept
{
    if (this != &other) {
        if (file_)
            discard();
        file_ = std::move(other.file_);
        folder_ = std::move(other.folder_);
        stem_ = std::move(other.stem_);
        error_ = std::move(other.error_);
        size_ = other.size_;
    }
    return *this;
}

QueuedMessageFile::~QueuedMessageFile()
{
    if (file_)
        discard();
}

bool QueuedMessageFile::isOpen() const
{
    return file_ && file_->valid();
}

// Written straight to the file: the session hands over whole received blocks, and errno
// tells a full disk from other failures.
bool QueuedMessageFile::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (const int err = queueBackend().write(file_->get(), bytes.constData(), bytes.size())) {
        error_ = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                     .arg(partPath(), reasonText(err));
        return false;
    }
    size_ += bytes.size();
    return true;
}

bool QueuedMessageFile::commit()
{
    if (!isOpen())
        return false;
    if (!file_->close()) {
        error_ = QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                     .arg(partPath(), reasonText(errno));
        discard();
        return false;
    }
    // Never over an existing message.
    if (const int err = queueBackend().rename(partPath(), messagePath(), false)) {
        error_ = QStringLiteral("Rebent: no s'ha pogut desar %1: %2")
                     .arg(messagePath(), reasonText(err));
        discard();
        return false;
    }
    file_.reset();
    return true;
}

void QueuedMessageFile::discard()
{
    if (!file_)
        return;
    file_->close();
    queueBackend().remove(partPath());
    queueBackend().remove(forwardToPath());
    file_.reset();
}

// ---- Creating pairs ----

namespace {

bool stemArchived(const QString &stem, const QStringList &archiveFolders)
{
    const QueuePair pair = QueuePair::fromStem(stem);
    for (const QString &folder : archiveFolders) {
        if (folder.isEmpty())
            continue;
        const QString base = asFolder(folder);
        if (QFile::exists(base + pair.forwardToName()) || QFile::exists(base + pair.messageName()))
            return true;
    }
    return false;
}

// Creates a new owner-only file and writes all of `bytes` into it; 0 or errno.
int createWith(const QString &path, const QByteArray &bytes)
{
    platform::UniqueFd fd;
    if (const int err = queueBackend().create(path, true, fd))
        return err;
    int err = queueBackend().write(fd.get(), bytes.constData(), bytes.size());
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
    result.folder_ = queueFolder;
    const QByteArray forwardTo = platform::toAnsi(enviarA);
    // Every stem of this second may be taken only after 10,000 tries.
    for (int tries = 0; tries < 10000; ++tries) {
        ++runCounter;
        result.stem_ = stemFor(now, runCounter);
        // A sent mark left without its message would take the new message for a sent one.
        // A first attempt recorded under the stem would make the new message old.
        if (QFile::exists(result.messagePath()) || QFile::exists(result.partPath())
            || QFile::exists(queueFolder + result.pair().sentMarkName())
            || QFile::exists(queueFolder + result.pair().firstAttemptName())
            || QFile::exists(queueFolder + result.pair().attemptsName()))
            continue;
        // A stem already filed in an archive is taken too: the move would replace that
        // pair (a second run within the same second, or a clock set back).
        if (stemArchived(result.stem_, archiveFolders))
            continue;
        const QString pairPath = result.forwardToPath();
        if (const int err = createWith(pairPath, forwardTo)) {
            if (err == EEXIST)
                continue;
            const bool created = QFile::exists(pairPath);
            result.error_ = (created ? QStringLiteral("Rebent: no s'ha pogut escriure %1: %2")
                                     : QStringLiteral("Rebent: no s'ha pogut crear %1: %2"))
                                .arg(pairPath, reasonText(err));
            if (created)
                queueBackend().remove(pairPath);
            return result;
        }
        auto file = std::make_unique<platform::UniqueFd>();
        if (const int err = queueBackend().create(result.partPath(), true, *file)) {
            result.error_ = QStringLiteral("Rebent: no s'ha pogut crear %1: %2")
                                .arg(result.partPath(), reasonText(err));
            queueBackend().remove(pairPath);
            if (err == EEXIST)
                continue;
            return result;
        }
        result.file_ = std::move(file);
        result.error_.clear();
        return result;
    }
    result.error_ = QStringLiteral("Rebent: no queda cap nom lliure a la cua %1").arg(queueFolder);
    return result;
}

QueuedMessageFile ObrirParella(RunContext &ctx, const QString &enviarA)
{
    const config::ConfiguracioRecord &c = ctx.configuration.Configuracio;
    return openQueuedPair(ctx.runCounter, c.CarpetaCua, enviarA, QDateTime::currentDateTime(),
                          {c.CarpetaSiEnviats, c.CarpetaNoEnviats, c.CarpetaSpam});
}

StoreResult syncQueuedFiles(const QList<QueuePair> &pairs, const QString &queueFolderPath)
{
    const QString queueFolder = asFolder(queueFolderPath);
    const auto failure = [](const QString &path, int err) {
        return StoreResult::failure(
            QStringLiteral("Rebent: no s'ha pogut desar a disc %1: %2").arg(path, reasonText(err)));
    };
    QueueBackend &backend = queueBackend();
    if (pairs.size() > kSyncEachFileLimit) {
        if (const int err = backend.flushFileSystem(queueFolder))
            return failure(queueFolder, err);
        return {};
    }
    for (const QueuePair &pair : pairs) {
        for (const QString &file :
             {queueFolder + pair.messageName(), queueFolder + pair.forwardToName()}) {
            if (const int err = backend.flush(file, true))
                return failure(file, err);
        }
    }
    if (const int err = backend.flush(queueFolder, false))
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
            if ((!info.exists() || info.size() == 0) && queueBackend().rename(path, message) == 0) {
                ++removed;
                continue;
            }
        }
        if (queueBackend().remove(path) == 0)
            ++removed;
    }
    // A first attempt or failed attempts recorded for a pair that is gone.
    for (const QString &name :
         filesEndingWith(folder, {kFirstAttemptSuffix, kAttemptsSuffix, kReleasedSuffix})) {
        const QueuePair pair = QueuePair::fromStem(name.left(name.lastIndexOf(u'.')));
        if (QFileInfo::exists(folder + pair.forwardToName())
            || QFileInfo::exists(folder + pair.sentMarkName())
            || QFileInfo::exists(folder + pair.messageName()))
            continue;
        if (queueBackend().remove(folder + name) == 0)
            ++removed;
    }
    return removed;
}

// ---- The queue pass ----

QStringList listQueue(const QString &folder)
{
    return filesEndingWith(folder, {kForwardToSuffix, kSentMarkSuffix});
}

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

std::optional<AttemptClock> readFirstAttempt(const QString &path)
{
    // Only a plain file: a FIFO planted under the name must not hold the run.
    const std::optional<QByteArray> read = readPlainFile(path, 256);
    // A record cut by a crash lacks its line end.
    if (!read || !read->endsWith('\n'))
        return std::nullopt;
    const QByteArray &text = *read;
    const QList<QByteArray> fields = text.trimmed().split(' ');
    bool wallOk = false;
    bool bootOk = false;
    if (fields.size() != 3)
        return std::nullopt;
    AttemptClock first;
    first.wall = QDateTime::fromMSecsSinceEpoch(fields[0].toLongLong(&wallOk), QTimeZone::utc());
    first.bootId = fields[1];
    first.bootMs = fields[2].toLongLong(&bootOk);
    if (!wallOk || !bootOk)
        return std::nullopt;
    return first;
}

void recordFirstAttempt(const QString &path, const AttemptClock &now)
{
    platform::UniqueFd fd;
    if (queueBackend().create(path, false, fd) != 0)
        return;
    const QByteArray line = QByteArray::number(now.wall.toMSecsSinceEpoch()) + ' '
        + (now.bootId.isEmpty() ? QByteArray("-") : now.bootId) + ' '
        + QByteArray::number(now.bootMs) + '\n';
    queueBackend().write(fd.get(), line.constData(), line.size());
}

// The pair's records beside it, once the pair is gone from the folder.
void removeFirstAttempt(const QString &folder, const QueuePair &pair)
{
    for (const QString &name :
         {pair.firstAttemptName(), pair.attemptsName(), pair.releasedName()}) {
        const QString path = folder + name;
        if (QFileInfo::exists(path))
            queueBackend().remove(path);
    }
}

// The failed attempts follow their pair into an archive, where the listing shows them.
void moveAttempts(const QString &source, const QString &target, const QueuePair &pair,
                  FolderSyncs *syncs)
{
    const QString name = pair.attemptsName();
    const QFileInfo record(source + name);
    if (record.isSymLink() || !record.exists())
        return;
    moveFile(name, source, target, name, syncs);
}

} // namespace

AttemptClock AttemptClock::current()
{
    AttemptClock now;
    now.wall = QDateTime::currentDateTimeUtc();
    QFile id(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (id.open(QIODevice::ReadOnly))
        now.bootId = id.readAll().trimmed();
    timespec ts {};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) == 0)
        now.bootMs = qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    else
        now.bootId.clear();
    return now;
}

std::optional<qint64> queueWaitedMs(const QString &folderPath, const QString &forwardToName,
                                    const AttemptClock &now)
{
    const QString path = asFolder(folderPath) + QueuePair(forwardToName).firstAttemptName();
    const std::optional<AttemptClock> first = readFirstAttempt(path);
    if (!first)
        return std::nullopt;
    const bool sameBoot = !now.bootId.isEmpty() && first->bootId == now.bootId;
    return sameBoot ? now.bootMs - first->bootMs : first->wall.msecsTo(now.wall);
}

namespace {

constexpr qsizetype kAttemptRecordLimit = 8192;

// Written under a temporary name and renamed over the old record.
bool replaceAttemptRecord(const QString &folder, const QueuePair &pair, const QByteArray &bytes)
{
    const QString path = folder + pair.attemptsName();
    const QString part = path + kPartSuffix;
    platform::UniqueFd fd;
    if (queueBackend().create(part, false, fd) != 0)
        return false;
    const int err = queueBackend().write(fd.get(), bytes.constData(), bytes.size());
    if (!fd.close() || err != 0 || queueBackend().rename(part, path) != 0) {
        queueBackend().remove(part);
        return false;
    }
    return true;
}

} // namespace

void recordFailedAttempt(const QString &folderPath, const QueuePair &pair, const QString &text,
                         int attempts, const QDateTime &now)
{
    const QString folder = asFolder(folderPath);
    const std::optional<AttemptRecord> old = readAttemptRecord(folder, pair);
    QString line = text;
    for (QChar &c : line) {
        if (c == u'\n' || c == u'\r')
            c = u' ';
    }
    QByteArray bytes = QByteArray::number((old ? old->count : 0) + qMax(attempts, 1)) + ' '
        + QByteArray::number(now.toMSecsSinceEpoch()) + '\n';
    bytes += line.trimmed().toUtf8().left(kAttemptRecordLimit - 64) + '\n';
    replaceAttemptRecord(folder, pair, bytes);
}

void copyAttemptRecord(const QString &fromFolder, const QString &toFolder, const QueuePair &pair)
{
    const std::optional<QByteArray> bytes
        = readPlainFile(asFolder(fromFolder) + pair.attemptsName(), kAttemptRecordLimit);
    if (bytes && !bytes->isEmpty())
        replaceAttemptRecord(asFolder(toFolder), pair, *bytes);
}

std::optional<AttemptRecord> readAttemptRecord(const QString &folderPath, const QueuePair &pair)
{
    const std::optional<QByteArray> text
        = readPlainFile(asFolder(folderPath) + pair.attemptsName(), kAttemptRecordLimit);
    if (!text || !text->endsWith('\n'))
        return std::nullopt;
    const qsizetype end = text->indexOf('\n');
    const QList<QByteArray> fields = text->left(end).split(' ');
    if (fields.size() != 2)
        return std::nullopt;
    bool countOk = false;
    bool timeOk = false;
    AttemptRecord record;
    record.count = fields[0].toInt(&countOk);
    record.lastFailure
        = QDateTime::fromMSecsSinceEpoch(fields[1].toLongLong(&timeOk), QTimeZone::utc());
    if (!countOk || !timeOk || record.count < 1)
        return std::nullopt;
    const QList<QByteArray> lines = text->mid(end + 1).chopped(1).split('\n');
    record.lastError = QString::fromUtf8(lines.value(0));
    record.noticeSent = lines.size() > 1 && lines[1].startsWith("notice ");
    return record;
}

bool releasedFromSpam(const QString &folderPath, const QueuePair &pair)
{
    struct stat st
    {
    };
    const QByteArray path = QFile::encodeName(asFolder(folderPath) + pair.releasedName());
    return ::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool recordNoticeSent(const QString &folderPath, const QueuePair &pair, const QDateTime &now)
{
    const QString folder = asFolder(folderPath);
    const std::optional<AttemptRecord> old = readAttemptRecord(folder, pair);
    if (!old)
        return false;
    const QByteArray bytes = QByteArray::number(old->count) + ' '
        + QByteArray::number(old->lastFailure.toMSecsSinceEpoch()) + '\n' + old->lastError.toUtf8()
        + '\n' + "notice " + QByteArray::number(now.toMSecsSinceEpoch()) + '\n';
    return replaceAttemptRecord(folder, pair, bytes);
}

bool queueLifetimeOver(const QString &folderPath, const QString &forwardToName,
                       const AttemptClock &now)
{
    const QString path = asFolder(folderPath) + QueuePair(forwardToName).firstAttemptName();
    const std::optional<AttemptClock> first = readFirstAttempt(path);
    qint64 waitedMs = -1;
    if (first) {
        const bool sameBoot = !now.bootId.isEmpty() && first->bootId == now.bootId;
        waitedMs = sameBoot ? now.bootMs - first->bootMs : first->wall.msecsTo(now.wall);
    }
    if (waitedMs < 0) {
        recordFirstAttempt(path, now);
        return false;
    }
    return waitedMs > kQueueLifetimeDays * kDayMs;
}

QueuePass::QueuePass(const QString &folder)
    : folder_(asFolder(folder))
{
}

std::optional<QString> QueuePass::next()
{
    for (;;) {
        while (pos_ < names_.size()) {
            const QString &name = names_.at(pos_++);
            if (QFileInfo::exists(folder_ + name))
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
    for (const QString &name : listQueue(folder_)) {
        const QString stem = QueuePair(name).stem();
        if (!handedOut_.contains(stem)) {
            handedOut_.insert(stem);
            fresh.append(name);
        }
    }
    names_ = std::move(fresh);
    pos_ = 0;
    return !names_.isEmpty();
}

PairCheck checkQueuedPair(const QString &folderPath, const QString &forwardToName,
                          const QStringList &archiveFolders, FolderSyncs *syncs)
{
    const QString folder = asFolder(folderPath);
    const QueuePair pair(forwardToName);
    const QString forwardToPath = folder + forwardToName;
    const QString messageName = pair.messageName();
    const QFileInfo message(folder + messageName);
    if (!message.isFile()) {
        // A move into an archive cut between its two renames: the message went first.
        const QString archivedName = pair.forwardToName();
        for (const QString &archive : archiveFolders) {
            if (archive.isEmpty())
                continue;
            const QString target = asFolder(archive);
            if (!QFileInfo(target + messageName).isFile()
                || QFileInfo::exists(target + archivedName))
                continue;
            if (moveFile(forwardToName, folder, target, archivedName, syncs)) {
                moveAttempts(folder, target, pair, syncs);
                removeFirstAttempt(folder, pair);
            }
            return PairCheck::Archived;
        }
        queueBackend().remove(forwardToPath);
        removeFirstAttempt(folder, pair);
        return PairCheck::Dropped;
    }
    if (message.size() == 0) {
        queueBackend().remove(message.filePath());
        queueBackend().remove(forwardToPath);
        removeFirstAttempt(folder, pair);
        return PairCheck::Dropped;
    }
    return PairCheck::Usable;
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
    // the queue, which the next pair check moves after it, never a listed pair that lost
    // its message.
    StoreResult moved = moveFile(missatgeName, sourceFolder, targetFolder, missatgeName, syncs);
    if (!moved)
        return moved;
    // In an archive a sent mark is again the pair's forward-to file.
    const QueuePair pair(destinatariName);
    const QString archivedName = pair.isSent() ? pair.forwardToName() : destinatariName;
    moved = moveFile(destinatariName, sourceFolder, targetFolder, archivedName, syncs);
    if (!moved)
        moveFile(missatgeName, targetFolder, sourceFolder, missatgeName, syncs);
    else {
        moveAttempts(sourceFolder, targetFolder, pair, syncs);
        removeFirstAttempt(sourceFolder, pair);
    }
    return moved;
}

void PurgarArxiu(const QString &folderPath, int diesArxiu, const QDateTime &now,
                 const std::function<void()> &progress)
{
    const QString folder = asFolder(folderPath);
    if (diesArxiu <= 0)
        return;
    const QDate today = now.toLocalTime().date();
    const auto old = [&](const QFileInfo &file) {
        return file.lastModified().toLocalTime().date().daysTo(today) > diesArxiu;
    };
    for (const QString &name :
         filesEndingWith(folder, {kForwardToSuffix, kMessageSuffix, kAttemptsSuffix})) {
        if (progress)
            progress();
        const QFileInfo pair(folder + name);
        if (!pair.exists())
            continue;
        // Attempts whose pair is gone go by their own age; others with their pair.
        if (name.endsWith(kAttemptsSuffix)) {
            const QueuePair named = QueuePair::fromStem(name.chopped(kAttemptsSuffix.size()));
            if (!QFileInfo::exists(folder + named.forwardToName())
                && !QFileInfo::exists(folder + named.messageName()) && old(pair))
                queueBackend().remove(pair.filePath());
            continue;
        }
        // A message whose forward-to file never followed it (a move cut by a crash, in an
        // older version) goes by its own age; one with its pair goes with the pair.
        if (name.endsWith(kMessageSuffix)) {
            const QueuePair named = QueuePair::fromStem(name.chopped(kMessageSuffix.size()));
            if (!QFileInfo::exists(folder + named.forwardToName()) && old(pair))
                queueBackend().remove(pair.filePath());
            continue;
        }
        if (!old(pair))
            continue;
        const QString messagePath = folder + QueuePair(name).messageName();
        // Keep the forward-to file while its message is still there, so a later purge
        // finds the pair again instead of leaving a message that is never purged.
        if (QFileInfo::exists(messagePath) && queueBackend().remove(messagePath) != 0)
            continue;
        const QString attemptsPath = folder + QueuePair(name).attemptsName();
        if (QFileInfo::exists(attemptsPath))
            queueBackend().remove(attemptsPath);
        queueBackend().remove(pair.filePath());
    }
}

void PurgarArxiu(RunContext &ctx, const QString &folder)
{
    PurgarArxiu(folder, ctx.configuration.Configuracio.DiesArxiu, QDateTime::currentDateTime(),
                [&ctx] { ctx.progressed(); });
}

} // namespace vessamo::routing
