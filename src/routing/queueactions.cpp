// Requeue and delete of pairs for an administrator, step by step as queueactions.h
// describes. Every step goes through the queue backend, so a test can stop the command
// between any two of them.
#include "routing/queueactions.h"

#include "platform/wait.h"
#include "routing/queue.h"
#include "routing/queuebackend.h"
#include "routing/queuefiles.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessamo::routing {

using namespace queuefiles;

namespace {

// How often a waiting command tries the queue lock again.
constexpr int kLockRetryMs = 200;

enum class Entry { Absent, Plain, Other };

// What is under the name, never through a link.
Entry entryAt(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(nativePath(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry::Absent : Entry::Other;
    return S_ISREG(st.st_mode) ? Entry::Plain : Entry::Other;
}

bool validStem(const QString &stem)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9]{1,64}$"));
    return pattern.match(stem).hasMatch();
}

PairActionOutcome failed(const QString &stem, const QString &text)
{
    return {stem, false, text};
}

void removeIfThere(const QString &path)
{
    if (entryAt(path) != Entry::Absent)
        queueBackend().remove(path);
}

PairActionOutcome requeueOne(const QString &queue, const QString &archive, const QString &stem,
                             bool fromSpam)
{
    if (!validStem(stem))
        return failed(stem, QStringLiteral("no és el nom d'una parella"));
    const QueuePair pair = QueuePair::fromStem(stem);
    const Entry archivedForwardTo = entryAt(archive + pair.forwardToName());
    const Entry archivedMessage = entryAt(archive + pair.messageName());
    const Entry queuedForwardTo = entryAt(queue + pair.forwardToName());
    const Entry queuedMark = entryAt(queue + pair.sentMarkName());
    const Entry queuedMessage = entryAt(queue + pair.messageName());
    for (const Entry e :
         {archivedForwardTo, archivedMessage, queuedForwardTo, queuedMark, queuedMessage}) {
        if (e == Entry::Other)
            return failed(stem,
                          QStringLiteral("un fitxer de la parella no és un fitxer normal "
                                         "(o és un enllaç); no s'hi toca"));
    }
    const bool inQueue = queuedForwardTo == Entry::Plain || queuedMark == Entry::Plain;
    const bool whole = archivedForwardTo == Entry::Plain && archivedMessage == Entry::Plain;
    // A requeue cut after its forward-to file moved: only the message is left to follow.
    const bool cutShort = queuedForwardTo == Entry::Plain && queuedMessage == Entry::Absent
        && archivedForwardTo == Entry::Absent && archivedMessage == Entry::Plain;
    if (inQueue && queuedMessage == Entry::Plain) {
        // Cut after the message moved: only the archive's record is left.
        if (archivedForwardTo == Entry::Absent && archivedMessage == Entry::Absent
            && entryAt(archive + pair.attemptsName()) == Entry::Plain) {
            queueBackend().remove(archive + pair.attemptsName());
            return {stem, true, QStringLiteral("tornat a la cua")};
        }
        return failed(stem, QStringLiteral("ja és a la cua"));
    }
    if (!whole && !cutShort) {
        if (inQueue || queuedMessage != Entry::Absent)
            return failed(stem, QStringLiteral("la cua ja té fitxers d'aquesta parella"));
        return failed(stem, QStringLiteral("no és a %1").arg(archive));
    }
    if (whole) {
        if (inQueue || queuedMessage != Entry::Absent)
            return failed(stem, QStringLiteral("la cua ja té fitxers d'aquesta parella"));
        removeIfThere(queue + pair.firstAttemptName());
        // A record left by another pair of the stem must not become this one's history.
        removeIfThere(queue + pair.attemptsName());
        copyAttemptRecord(archive, queue, pair);
        // Before the pair is whole in the queue: a run must never judge it again.
        removeIfThere(queue + pair.releasedName());
        if (fromSpam) {
            platform::UniqueFd marker;
            if (const int err = queueBackend().create(queue + pair.releasedName(), false, marker);
                err != 0 || !marker.close()) {
                removeIfThere(queue + pair.attemptsName());
                return failed(stem, QString::fromLocal8Bit(std::strerror(err ? err : EIO)));
            }
        }
        if (StoreResult moved
            = moveFile(pair.forwardToName(), archive, queue, pair.forwardToName(), nullptr);
            !moved) {
            removeIfThere(queue + pair.attemptsName());
            return failed(stem, moved.error);
        }
    }
    if (StoreResult moved
        = moveFile(pair.messageName(), archive, queue, pair.messageName(), nullptr);
        !moved) {
        // Back where it was: the pair stays whole in the archive.
        moveFile(pair.forwardToName(), queue, archive, pair.forwardToName(), nullptr);
        removeIfThere(queue + pair.attemptsName());
        return failed(stem, moved.error);
    }
    removeIfThere(archive + pair.attemptsName());
    return {stem, true, QStringLiteral("tornat a la cua")};
}

PairActionOutcome deleteOne(const QString &folder, const QString &stem)
{
    if (!validStem(stem))
        return failed(stem, QStringLiteral("no és el nom d'una parella"));
    const QueuePair pair = QueuePair::fromStem(stem);
    const QStringList pairNames {pair.messageName(), pair.forwardToName(), pair.sentMarkName()};
    bool any = false;
    for (const QString &name : pairNames) {
        const Entry e = entryAt(folder + name);
        if (e == Entry::Other)
            return failed(stem,
                          QStringLiteral("un fitxer de la parella no és un fitxer normal "
                                         "(o és un enllaç); no s'hi toca"));
        any = any || e == Entry::Plain;
    }
    if (!any)
        return failed(stem, QStringLiteral("no és a %1").arg(folder));
    // The message first: a forward-to file left alone is dropped or shown, never sent.
    for (const QString &name : pairNames
             + QStringList {pair.attemptsName(), pair.firstAttemptName(), pair.releasedName()}) {
        if (entryAt(folder + name) == Entry::Absent)
            continue;
        if (const int err = queueBackend().remove(folder + name))
            return failed(
                stem, QStringLiteral("no s'ha pogut esborrar %1: %2").arg(name, reasonText(err)));
    }
    if (const int err = queueBackend().flush(folder, false))
        return failed(stem, syncFailure(folder, err).error);
    return {stem, true, QStringLiteral("esborrat")};
}

QStringList stemsWith(const QString &folder, std::initializer_list<QString> suffixes)
{
    QStringList stems;
    QSet<QString> seen;
    for (const QString &name : filesEndingWith(folder, suffixes)) {
        for (const QString &suffix : suffixes) {
            if (!name.endsWith(suffix))
                continue;
            const QString stem = name.chopped(suffix.size());
            if (!seen.contains(stem)) {
                seen.insert(stem);
                stems << stem;
            }
            break;
        }
    }
    stems.sort();
    return stems;
}

} // namespace

QString spoolRefusal(const QString &folderPath)
{
    QString bare = asFolder(folderPath);
    while (bare.size() > 1 && bare.endsWith(u'/'))
        bare.chop(1);
    struct stat st
    {
    };
    if (::lstat(nativePath(bare).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("la carpeta %1 no existeix o no és una carpeta").arg(bare);
    if (::geteuid() != 0 && ::geteuid() != st.st_uid)
        return QStringLiteral("només root o el propietari de %1 hi poden actuar").arg(bare);
    return {};
}

QStringList requeueCandidates(const QString &queuePath, const QString &archivePath)
{
    const QString queue = asFolder(queuePath);
    const QString archive = asFolder(archivePath);
    QStringList stems;
    for (const QString &stem : stemsWith(archive, {kForwardToSuffix, kMessageSuffix})) {
        const QueuePair pair = QueuePair::fromStem(stem);
        // A message alone is taken only when its forward-to file went ahead into the queue.
        if (QFileInfo::exists(archive + pair.forwardToName())
            || QFileInfo::exists(queue + pair.forwardToName()))
            stems << stem;
    }
    return stems;
}

QStringList deleteCandidates(const QString &folder)
{
    return stemsWith(asFolder(folder), {kForwardToSuffix, kSentMarkSuffix, kMessageSuffix});
}

QueueActionReport requeuePairs(const QString &queuePath, const QString &archivePath,
                               const QStringList &stems, bool fromSpam)
{
    QueueActionReport report;
    const QString queue = asFolder(queuePath);
    const QString archive = asFolder(archivePath);
    for (const QString &folder : {queue, archive}) {
        if (const QString refusal = spoolRefusal(folder); !refusal.isEmpty()) {
            report.error = refusal;
            return report;
        }
    }
    for (const QString &stem : stems)
        report.pairs.append(requeueOne(queue, archive, stem, fromSpam));
    return report;
}

QueueActionReport deletePairs(const QString &folderPath, const QStringList &stems)
{
    QueueActionReport report;
    const QString folder = asFolder(folderPath);
    if (const QString refusal = spoolRefusal(folder); !refusal.isEmpty()) {
        report.error = refusal;
        return report;
    }
    for (const QString &stem : stems)
        report.pairs.append(deleteOne(folder, stem));
    return report;
}

std::unique_ptr<QueueLock> waitForQueueLock(const QString &queueFolder, int waitMs,
                                            const std::function<void()> &onBusy, QString *error)
{
    auto lock = std::make_unique<QueueLock>(queueFolder);
    if (lock->state() == QueueLock::State::Busy) {
        if (onBusy)
            onBusy();
        // flock has no time-out: tried again every so often.
        platform::retryUntil(
            [&] {
                if (lock->state() == QueueLock::State::Busy)
                    lock = std::make_unique<QueueLock>(queueFolder);
                return lock->state() != QueueLock::State::Busy;
            },
            kLockRetryMs, QDeadlineTimer(waitMs));
    }
    if (lock->held())
        return lock;
    if (error) {
        *error = lock->state() == QueueLock::State::Busy
            ? QStringLiteral("una execució de l'encaminador encara té la cua (%1) després "
                             "d'esperar %2 s; no s'ha fet res")
                  .arg(queueFolder)
                  .arg(waitMs / 1000)
            : QStringLiteral("no s'ha pogut bloquejar la cua %1: %2")
                  .arg(lock->path(), lock->errorString());
    }
    return nullptr;
}

} // namespace vessamo::routing
