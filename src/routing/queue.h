// The queue and archive store: queued pairs (a ".destinatari" file with the forward-to
// text and a ".missatge" file with the message, sharing a 19-character stem), the listing
// of the queue oldest first, the check of a pair before use, moves into the archives and
// the purge of old archives.
//
// A message being downloaded lives under a temporary name ("<stem>.missatge.part") that
// neither the listing nor the pair check ever takes; it gets its final name only when its
// last byte is written (commit). A crash therefore leaves at most a forward-to file
// without message (dropped by the pair check) and a temporary file (removed at the start
// of the next run), never a cut-off message under its final name.
//
// Once a server has accepted a message, its forward-to file is renamed to the sent mark
// ("<stem>.enviat") before the pair is moved to the sent archive. A pair whose move failed
// is listed again with that name and only moved, never forwarded again. While the
// anti-spam program runs, a copy of the message ("<stem>.missatge.copia") stands by; a
// crash in that moment leaves it for the next run to put back or remove.
//
// A pair whose forwarding was put off keeps the time of its first attempt beside it
// ("<stem>.intent"), so that its time in the queue counts from an attempt rather than from
// the clock that named it, which may have been wrong.
//
// Each failed forwarding attempt is counted beside the pair ("<stem>.attempts", see
// recordFailedAttempt()); the record is replaced by a rename, moves into an archive with its
// pair and is purged with it, and one left without its pair is removed at the next run.
//
// Files are created readable by their owner only (0600): they hold other people's mail.
//
// A pair's file names come from its stem (QueuePair, queuepair.h); the durable records
// used beside this store (folder syncs, the sent mark, the safety copy) are in queuefiles.h.
#pragma once

#include "routing/queuefiles.h"
#include "routing/queuepair.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace vessamo::platform {
class UniqueFd;
}

namespace vessamo::routing {

struct RunContext;

// How long a message that cannot be sent for a temporary reason stays queued before it
// goes to the failed archive: 5 days, as established mail servers keep undeliverable
// mail by default.
inline constexpr int kQueueLifetimeDays = 5;

// The message file of a queued pair while it is being written. Move-only. Until commit()
// the message sits under its temporary name; an object destroyed without commit()
// discards the message and the pair's forward-to file.
class QueuedMessageFile
{
public:
    QueuedMessageFile();
    QueuedMessageFile(QueuedMessageFile &&other) noexcept;
    QueuedMessageFile &operator=(QueuedMessageFile &&other) noexcept;
    ~QueuedMessageFile();

    // True while the temporary file is open for writing.
    bool isOpen() const;
    // Why ObrirParella, write() or commit() failed ("Rebent: ..."); empty otherwise.
    const QString &errorString() const { return error_; }

    // The 19-character stem, e.g. "M202401312359590001".
    const QString &stem() const { return stem_; }
    QueuePair pair() const { return QueuePair::fromStem(stem_); }
    const QString &folder() const { return folder_; }
    QString forwardToPath() const { return folder_ + pair().forwardToName(); }
    // The final name, which exists only after commit().
    QString messagePath() const { return folder_ + pair().messageName(); }
    QString partPath() const { return messagePath() + kPartSuffix; }

    // Appends all of `bytes`; false (and the error text set) when the disk refused them.
    bool write(const QByteArray &bytes);
    // Bytes written so far.
    qint64 size() const { return size_; }

    // Closes the file and gives it its final name. Not synced to disk: see
    // syncQueuedFiles(). On failure the pair is discarded and false returned.
    bool commit();
    // Removes the temporary file and the pair's forward-to file.
    void discard();

private:
    friend QueuedMessageFile openQueuedPair(int &, const QString &, const QString &,
                                            const QDateTime &, const QStringList &);
    std::unique_ptr<platform::UniqueFd> file_;
    QString folder_;
    QString stem_;
    QString error_;
    qint64 size_ = 0;
};

// `ObrirParella`: increases the run counter, forms the stem from the local date and time
// and the counter, writes the forward-to file (Windows-1252, verbatim) into the queue
// folder of the configuration and opens the message file under its temporary name.
// Never overwrites: a stem whose pair (or message, or temporary file) already exists is
// skipped for the next counter value; the counter shows its last four digits, so stems
// stay 19 characters after 9,999 messages. Check isOpen() on the result.
QueuedMessageFile ObrirParella(RunContext &ctx, const QString &enviarA);
// The same with the counter, the folder and the time given. A stem already used in one of
// the archive folders is skipped as well. Every folder argument of this module may be
// given with or without its final "/".
QueuedMessageFile openQueuedPair(int &runCounter, const QString &queueFolder,
                                 const QString &enviarA, const QDateTime &now,
                                 const QStringList &archiveFolders = {});

// The stem of a pair formed from a time and a counter (last four digits).
QString stemFor(const QDateTime &now, int counter);

// Flushes to disk, in one batch, the committed pairs given (their message and forward-to
// files) and the queue folder itself. Called once before POP3 QUIT, so the server deletes
// nothing that is not safely stored.
StoreResult syncQueuedFiles(const QList<QueuePair> &pairs, const QString &queueFolder);

// Removes temporary message files left by an interrupted download (or an interrupted
// copy into an archive) in the folder, and deals with safety copies left by a crash while
// the anti-spam program ran: put back when the message is gone or empty, else removed.
// Called at the start of a run. Returns how many files it removed or put back.
int removeLeftoverParts(const QString &folder);

// The queue listing: names (no folder) of the forward-to files and sent marks in the
// folder, in ascending name order, which is the order of creation (oldest first). One
// directory read.
QStringList listQueue(const QString &folder);

// The clocks an attempt is told by: the wall clock, and the kernel's boot clock, which
// counts time asleep and is never set, with the id of the boot it counts from.
struct AttemptClock
{
    QDateTime wall;
    QByteArray bootId;
    qint64 bootMs = 0;

    static AttemptClock current();
};

// Whether a pair whose forwarding was put off has waited longer than kQueueLifetimeDays
// since its first attempt. The first call for a pair records `now` as that attempt (the
// pair's "<stem>.intent" file: one line "<wall ms since 1970> <boot id> <boot clock ms>")
// and says no, whatever its stem says: a message named by a clock that was slow is not
// old. Later calls count by the boot clock within one boot, so that setting the wall clock
// changes nothing, and by the wall clock across boots. A record from the future (the clock
// was set back) or one that cannot be read (cut by a crash) is written afresh: an attempt
// is never counted as older than it is.
bool queueLifetimeOver(const QString &folder, const QString &forwardToName,
                       const AttemptClock &now = AttemptClock::current());

// How long the pair has waited since its first attempt, by the same clocks as
// queueLifetimeOver(), without recording anything; nothing when no attempt is recorded.
std::optional<qint64> queueWaitedMs(const QString &folder, const QString &forwardToName,
                                    const AttemptClock &now = AttemptClock::current());

// Whether the administrator took the queued pair back from the spam archive (a plain
// "<stem>.released" file beside it, never a link).
bool releasedFromSpam(const QString &folder, const QueuePair &pair);

// The failed attempts to forward a pair: how many, and when and why the last one failed.
struct AttemptRecord
{
    int count = 0;
    QDateTime lastFailure;
    QString lastError;
    // A notice of this failure went to the postmaster (a third line "notice <ms>").
    bool noticeSent = false;
};

// Counts `attempts` more failed attempts for the pair in the folder, the last with the text
// the event log got. The record ("<stem>.attempts": "<count> <wall ms since 1970>" on its
// first line, the text on the second, in UTF-8) is written under a temporary name and
// renamed over the old one, so a crash leaves the old record or the new one, never a cut
// one. Failures are ignored: the record only informs. A new failure drops the notice mark:
// it is a new failure to tell of.
void recordFailedAttempt(const QString &folder, const QueuePair &pair, const QString &text,
                         int attempts = 1, const QDateTime &now = QDateTime::currentDateTimeUtc());
// The pair's record in the folder; nothing when there is none or it cannot be read. Never
// through a link, never from anything but a plain file.
std::optional<AttemptRecord> readAttemptRecord(const QString &folder, const QueuePair &pair);
// Copies the pair's record from one folder to the other with the same rename (a kill leaves
// no cut copy); nothing when there is none.
void copyAttemptRecord(const QString &fromFolder, const QString &toFolder, const QueuePair &pair);
// Marks the pair's record in the folder as told to the postmaster, with the same rename;
// false when there is no record or it could not be replaced.
bool recordNoticeSent(const QString &folder, const QueuePair &pair,
                      const QDateTime &now = QDateTime::currentDateTimeUtc());

// The queue pass's view of the queue: lists the folder once and hands out its names in
// order, skipping names whose forward-to file is gone. When the list is used up it lists
// once more and goes on with names it has not handed out yet. This gives what "take the
// first name of a fresh listing" gives while the pass itself is the only one that removes
// pairs, without re-reading the folder per pair, and it never hands out a pair twice (by
// stem: a pair marked sent during the pass is not taken again under its mark), so a pair
// that could not be moved cannot make the pass loop on it.
class QueuePass
{
public:
    explicit QueuePass(const QString &folder);
    // The next forward-to file name, or nothing when the queue is worked off.
    std::optional<QString> next();

private:
    bool refill();

    QString folder_;
    QStringList names_;
    qsizetype pos_ = 0;
    QSet<QString> handedOut_;
};

enum class PairCheck {
    Usable, // message file present and not empty
    Dropped, // forward-to file without message, or empty message: both deleted
    Archived, // its message is in an archive already: the forward-to file follows it
};

// The check before use: a forward-to file without its message file is deleted, unless the
// message is alone in one of the archive folders given (a move cut between its two
// renames): then the forward-to file is moved after it, or left for the next run when it
// cannot be. An empty message file is deleted with its forward-to file.
PairCheck checkQueuedPair(const QString &folder, const QString &forwardToName,
                          const QStringList &archiveFolders = {}, FolderSyncs *syncs = nullptr);

// `MoureParella`: moves the pair (names without folder) from the source folder into the
// target folder, replacing files of the same names there; a sent mark is filed under its
// forward-to name. A rename when both folders are on one file system, after which both
// folders are synced (at once, or through `syncs`); otherwise copy, flush to disk, sync
// the target folder, then delete the source. The message
// moves first and the forward-to file last, so an interruption never leaves a listed pair
// without its message (checkQueuedPair() completes the move), and the first attempt
// recorded for the pair is removed once it has left. On failure the pair stays in the
// source folder (the message is moved back when the forward-to file could not follow) and
// the result says why:
//   "Arxivant: la carpeta <target> no existeix"
//   "Arxivant: no s'ha pogut moure <name> a <target>: <reason>"
//   "Arxivant: no s'ha pogut esborrar <name> de <source>: <reason>"
StoreResult MoureParella(const QString &destinatariName, const QString &missatgeName,
                         const QString &sourceFolder, const QString &targetFolder,
                         FolderSyncs *syncs = nullptr);

// `PurgarArxiu`: deletes the pairs in the archive folder whose forward-to file was last
// modified more than `diesArxiu` calendar days (local midnights) before `now`, and the
// message files without a forward-to file whose own last change is that old. Nothing
// is deleted when `diesArxiu` is 0 or less. Failures are ignored; `progress` is called
// once for each name examined.
void PurgarArxiu(const QString &folder, int diesArxiu, const QDateTime &now,
                 const std::function<void()> &progress = {});
// The same with the configured days, the current time and the run's safety timer.
void PurgarArxiu(RunContext &ctx, const QString &folder);

} // namespace vessamo::routing
