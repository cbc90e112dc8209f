// Tests of the queue and archive store: stems and counters, crash-safe creation, the
// listing and the queue pass, the pair check, moves into archives and the purge.
#include "config/configuracio.h"
#include "routing/queue.h"
#include "routing/routingview.h"
#include "routing/runcontext.h"
#include "support/silentview.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vessamo::routing;

namespace {

using SilentView = vessamo::test::SilentView;

const QDateTime kNow(QDate(2024, 1, 31), QTime(23, 59, 59));

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
}

void setModified(const QString &path, const QDateTime &when)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite | QIODevice::Append));
    ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
}

class QueueTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        queue = dir.path() + QStringLiteral("/Cua/");
        sent = dir.path() + QStringLiteral("/SiEnviats/");
        ASSERT_TRUE(QDir().mkpath(queue));
        ASSERT_TRUE(QDir().mkpath(sent));
    }
    // Creates a committed pair the way a download does.
    QString queuePair(int &counter, const QByteArray &message, const QDateTime &when = kNow)
    {
        QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), when);
        EXPECT_TRUE(file.isOpen()) << file.errorString().toStdString();
        EXPECT_TRUE(file.write(message));
        EXPECT_TRUE(file.commit());
        return file.stem();
    }
    QStringList filesIn(const QString &folder) const
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir dir;
    QString queue;
    QString sent;
};

TEST(QueueStem, IsMDateTimeAndFourCounterDigits)
{
    const struct
    {
        int counter;
        const char *stem;
    } rows[] = {
        {1, "M202401312359590001"},
        {42, "M202401312359590042"},
        {9999, "M202401312359599999"},
        // Past 9,999 the stem keeps its 19 characters.
        {10000, "M202401312359590000"},
        {12345, "M202401312359592345"},
    };
    for (const auto &row : rows) {
        const QString stem = stemFor(kNow, row.counter);
        EXPECT_EQ(stem, QString::fromLatin1(row.stem)) << row.counter;
        EXPECT_EQ(stem.size(), kStemLength);
    }
    EXPECT_EQ(stemFor(QDateTime(QDate(2025, 7, 4), QTime(3, 4, 5)), 7),
              QStringLiteral("M202507040304050007"));
}

TEST_F(QueueTest, ObrirParellaWritesForwardToVerbatimAndMessageUnderTemporaryName)
{
    vessamo::config::Configuracio.CarpetaCua = queue;
    SilentView view;
    RunContext ctx(view);
    QueuedMessageFile file = ObrirParella(ctx, QStringLiteral("u@x.cat;Josep Pàmies <j@y.cat>"));
    ASSERT_TRUE(file.isOpen()) << file.errorString().toStdString();
    EXPECT_EQ(ctx.runCounter, 1);
    EXPECT_EQ(file.stem().size(), kStemLength);
    EXPECT_TRUE(file.stem().endsWith(QStringLiteral("0001")));
    // Windows-1252, no line end, nothing else.
    EXPECT_EQ(readAll(file.forwardToPath()), QByteArray("u@x.cat;Josep P\xe0mies <j@y.cat>"));

    const QByteArray message("Subject: x\r\n\r\n.dot kept as stored\r\n");
    ASSERT_TRUE(file.write(message.left(5)));
    ASSERT_TRUE(file.write(message.mid(5)));
    // While it is written the message has no final name and the pair is not listed usable.
    EXPECT_FALSE(QFileInfo::exists(file.messagePath()));
    EXPECT_TRUE(QFileInfo::exists(file.partPath()));
    EXPECT_EQ(checkQueuedPair(queue, file.stem() + kForwardToSuffix), PairCheck::Dropped);

    vessamo::config::resetConfiguration();
}

TEST_F(QueueTest, CommitGivesTheFinalName)
{
    int counter = 0;
    QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
    ASSERT_TRUE(file.isOpen());
    ASSERT_TRUE(file.write(QByteArray("Body\r\n")));
    EXPECT_EQ(file.size(), 6);
    ASSERT_TRUE(file.commit());
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(readAll(file.messagePath()), QByteArray("Body\r\n"));
    EXPECT_FALSE(QFileInfo::exists(file.partPath()));
    EXPECT_EQ(filesIn(queue),
              QStringList({QStringLiteral("M202401312359590001.destinatari"),
                           QStringLiteral("M202401312359590001.missatge")}));
    EXPECT_TRUE(syncQueuedFiles({file.messagePath()}, queue));
}

TEST_F(QueueTest, TwoPairsInOneSecondGetConsecutiveCounters)
{
    int counter = 0;
    const QString first = queuePair(counter, "1\r\n");
    const QString second = queuePair(counter, "2\r\n");
    EXPECT_EQ(first, QStringLiteral("M202401312359590001"));
    EXPECT_EQ(second, QStringLiteral("M202401312359590002"));
    EXPECT_EQ(counter, 2);
}

TEST_F(QueueTest, TakenStemsAreSkippedAndNeverOverwritten)
{
    // A second run within the same second finds the pairs of the first still queued, a
    // stray message without its forward-to file, and a download cut off by a crash.
    writeFile(queue + QStringLiteral("M202401312359590001.destinatari"), "old");
    writeFile(queue + QStringLiteral("M202401312359590002.missatge"), "stray");
    writeFile(queue + QStringLiteral("M202401312359590003.missatge.part"), "cut");
    int counter = 0;
    const QString stem = queuePair(counter, "new\r\n");
    EXPECT_EQ(stem, QStringLiteral("M202401312359590004"));
    EXPECT_EQ(counter, 4);
    EXPECT_EQ(readAll(queue + QStringLiteral("M202401312359590001.destinatari")), "old");
    EXPECT_EQ(readAll(queue + QStringLiteral("M202401312359590002.missatge")), "stray");
    EXPECT_EQ(readAll(queue + QStringLiteral("M202401312359590003.missatge.part")), "cut");
}

TEST_F(QueueTest, MoreThan9999MessagesKeepNineteenCharacterStems)
{
    writeFile(queue + QStringLiteral("M202401312359590000.destinatari"), "taken");
    int counter = 9999;
    const QString stem = queuePair(counter, "x\r\n");
    EXPECT_EQ(stem, QStringLiteral("M202401312359590001"));
    EXPECT_EQ(stem.size(), kStemLength);
    EXPECT_EQ(counter, 10001);
}

TEST_F(QueueTest, TenThousandPairsInOneSecondThenNoFreeStem)
{
    // Every message of a huge run stamped with the same second: all 10,000 four-digit
    // stems are used once, the next pair is refused rather than overwriting, and the pass
    // hands every pair out exactly once, in stem order.
    int counter = 0;
    QSet<QString> stems;
    for (int i = 0; i < 10000; ++i) {
        QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
        ASSERT_TRUE(file.isOpen()) << i;
        ASSERT_TRUE(file.write("m\r\n"));
        ASSERT_TRUE(file.commit());
        ASSERT_EQ(file.stem().size(), kStemLength);
        stems.insert(file.stem());
    }
    EXPECT_EQ(stems.size(), 10000);
    QueuedMessageFile refused = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
    EXPECT_FALSE(refused.isOpen());
    EXPECT_EQ(refused.errorString(),
              QStringLiteral("Rebent: no queda cap nom lliure a la cua %1").arg(queue));

    QueuePass pass(queue);
    FolderSyncs syncs;
    QString previous;
    int handed = 0;
    while (const std::optional<QString> name = pass.next()) {
        EXPECT_LT(previous, *name);
        previous = *name;
        ASSERT_EQ(checkQueuedPair(queue, *name), PairCheck::Usable);
        ASSERT_TRUE(MoureParella(*name, messageNameFor(*name), queue, sent, &syncs));
        ++handed;
    }
    EXPECT_TRUE(syncs.flush());
    EXPECT_EQ(handed, 10000);
    EXPECT_TRUE(filesIn(queue).isEmpty());
}

TEST_F(QueueTest, FoldersWithoutTheirFinalSlashWork)
{
    QString queueNoSlash = queue;
    queueNoSlash.chop(1);
    QString sentNoSlash = sent;
    sentNoSlash.chop(1);
    int counter = 0;
    QueuedMessageFile file = openQueuedPair(counter, queueNoSlash, QStringLiteral("a"), kNow);
    ASSERT_TRUE(file.write("m"));
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(filesIn(queue).size(), 2);
    EXPECT_EQ(listQueue(queueNoSlash).size(), 1);
    EXPECT_EQ(checkQueuedPair(queueNoSlash, listQueue(queue).at(0)), PairCheck::Usable);
    ASSERT_TRUE(MoureParella(file.stem() + kForwardToSuffix, file.stem() + kMessageSuffix,
                             queueNoSlash, sentNoSlash));
    EXPECT_EQ(filesIn(sent).size(), 2);
    EXPECT_EQ(filesIn(dir.path()).size(), 0);
}

TEST_F(QueueTest, UncommittedFileIsDiscardedWithItsForwardToFile)
{
    int counter = 0;
    {
        QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
        ASSERT_TRUE(file.write("half a mess"));
        QueuedMessageFile moved = std::move(file);
        EXPECT_FALSE(file.isOpen());
        EXPECT_TRUE(moved.isOpen());
    }
    EXPECT_TRUE(filesIn(queue).isEmpty()) << filesIn(queue).join(u' ').toStdString();

    QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
    ASSERT_TRUE(file.write("x"));
    file.discard();
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.commit());
    EXPECT_TRUE(filesIn(queue).isEmpty());
}

TEST_F(QueueTest, OpeningInAMissingFolderFailsWithAText)
{
    int counter = 0;
    QueuedMessageFile file = openQueuedPair(counter, dir.path() + QStringLiteral("/nowhere/"),
                                            QStringLiteral("a@b.cat"), kNow);
    EXPECT_FALSE(file.isOpen());
    EXPECT_TRUE(file.errorString().startsWith(QStringLiteral("Rebent: no s'ha pogut crear ")))
        << file.errorString().toStdString();
    EXPECT_FALSE(file.write("x"));
}

TEST_F(QueueTest, PairCheck)
{
    struct Row
    {
        const char *name;
        const char *message; // nullptr: no message file
        PairCheck expected;
        bool forwardToKept;
        bool messageKept;
    };
    const Row rows[] = {
        {"forward-to file without message", nullptr, PairCheck::Dropped, false, false},
        {"empty message", "", PairCheck::Dropped, false, false},
        {"usable pair", "Body\r\n", PairCheck::Usable, true, true},
    };
    int counter = 0;
    for (const Row &row : rows) {
        const QString stem = stemFor(kNow, ++counter);
        const QString forwardTo = queue + stem + kForwardToSuffix;
        const QString message = queue + stem + kMessageSuffix;
        writeFile(forwardTo, "a@b.cat");
        if (row.message)
            writeFile(message, row.message);
        EXPECT_EQ(checkQueuedPair(queue, stem + kForwardToSuffix), row.expected) << row.name;
        EXPECT_EQ(QFileInfo::exists(forwardTo), row.forwardToKept) << row.name;
        EXPECT_EQ(QFileInfo::exists(message), row.messageKept) << row.name;
    }
}

TEST_F(QueueTest, PairCheckTakesTheStemNotAnotherPairsMessage)
{
    writeFile(queue + QStringLiteral("M202401312359590001.missatge"), "other pair");
    writeFile(queue + QStringLiteral("M202401312359590001x.destinatari"), "a@b.cat");
    EXPECT_EQ(messageNameFor(QStringLiteral("M202401312359590001x.destinatari")),
              QStringLiteral("M202401312359590001x.missatge"));
    EXPECT_EQ(checkQueuedPair(queue, QStringLiteral("M202401312359590001x.destinatari")),
              PairCheck::Dropped);
    EXPECT_EQ(readAll(queue + QStringLiteral("M202401312359590001.missatge")), "other pair");
}

TEST_F(QueueTest, ListingIsOldestFirstAndTakesOnlyForwardToFiles)
{
    for (const char *name :
         {"M202402010000000001.destinatari", "M202401312359590002.destinatari",
          "M202401312359590001.destinatari", "M202401312359590009.missatge",
          "M202401312359590010.missatge.part", "M202401312359590011.DESTINATARI", "notes.txt"})
        writeFile(queue + QString::fromLatin1(name), "x");
    ASSERT_TRUE(QDir(queue).mkdir(QStringLiteral("M202401010000000001.destinatari")));
    EXPECT_EQ(listQueue(queue),
              QStringList({QStringLiteral("M202401312359590001.destinatari"),
                           QStringLiteral("M202401312359590002.destinatari"),
                           QStringLiteral("M202402010000000001.destinatari")}));
}

TEST_F(QueueTest, LeftoverTemporaryFilesAreRemovedAtStart)
{
    writeFile(queue + QStringLiteral("M202401312359590001.missatge.part"), "cut");
    writeFile(queue + QStringLiteral("M202401312359590001.destinatari"), "a@b.cat");
    writeFile(queue + QStringLiteral("M202401312359590002.missatge"), "kept");
    writeFile(queue + QStringLiteral("M202401312359590002.destinatari"), "a@b.cat");
    EXPECT_EQ(removeLeftoverParts(queue), 1);
    EXPECT_EQ(filesIn(queue),
              QStringList({QStringLiteral("M202401312359590001.destinatari"),
                           QStringLiteral("M202401312359590002.destinatari"),
                           QStringLiteral("M202401312359590002.missatge")}));
}

TEST_F(QueueTest, QueuePassHandsOutEachPairOnceOldestFirst)
{
    int counter = 0;
    QStringList stems;
    for (int i = 0; i < 4; ++i)
        stems << queuePair(counter, "m\r\n");
    QueuePass pass(queue);
    std::optional<QString> name = pass.next();
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, stems[0] + kForwardToSuffix);
    // This pair cannot be moved and stays: it must not come back.
    name = pass.next();
    EXPECT_EQ(*name, stems[1] + kForwardToSuffix);
    // Removed from under the pass: skipped.
    QFile::remove(queue + stems[2] + kForwardToSuffix);
    // Arrives during the pass with an older name: still handed out, once.
    writeFile(queue + QStringLiteral("M202001010000000001.destinatari"), "a@b.cat");
    name = pass.next();
    EXPECT_EQ(*name, stems[3] + kForwardToSuffix);
    name = pass.next();
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, QStringLiteral("M202001010000000001.destinatari"));
    EXPECT_FALSE(pass.next());
    EXPECT_FALSE(pass.next());
}

TEST_F(QueueTest, MoveOnOneFileSystemIsARenameKeepingTimeAndReplacing)
{
    int counter = 0;
    const QString stem = queuePair(counter, "Body\r\n");
    const QString forwardTo = stem + kForwardToSuffix;
    const QString message = stem + kMessageSuffix;
    const QDateTime downloaded = QDateTime::currentDateTime().addDays(-2);
    setModified(queue + forwardTo, downloaded);
    writeFile(sent + message, "older copy");
    struct stat before
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(queue + message).constData(), &before), 0);

    const StoreResult moved = MoureParella(forwardTo, message, queue, sent);
    ASSERT_TRUE(moved) << moved.error.toStdString();
    EXPECT_TRUE(filesIn(queue).isEmpty());
    EXPECT_EQ(readAll(sent + message), "Body\r\n");
    EXPECT_EQ(readAll(sent + forwardTo), "a@b.cat");
    struct stat after
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(sent + message).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(QFileInfo(sent + forwardTo).lastModified().toSecsSinceEpoch(),
              downloaded.toSecsSinceEpoch());
}

TEST_F(QueueTest, MoveAcrossFileSystemsCopiesThenDeletes)
{
    QTemporaryDir other(QStringLiteral("/dev/shm/vessamo-test-XXXXXX"));
    struct stat a
    {
    }, b {};
    if (!other.isValid() || ::stat("/dev/shm", &a) != 0
        || ::stat(QFile::encodeName(queue).constData(), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    const QString archive = other.path() + u'/';
    int counter = 0;
    const QString stem = queuePair(counter, QByteArray(200000, 'x'));
    const QDateTime downloaded = QDateTime::currentDateTime().addDays(-3);
    setModified(queue + stem + kForwardToSuffix, downloaded);

    const StoreResult moved
        = MoureParella(stem + kForwardToSuffix, stem + kMessageSuffix, queue, archive);
    ASSERT_TRUE(moved) << moved.error.toStdString();
    EXPECT_TRUE(filesIn(queue).isEmpty());
    EXPECT_EQ(readAll(archive + stem + kMessageSuffix), QByteArray(200000, 'x'));
    EXPECT_EQ(filesIn(archive).size(), 2); // no temporary copy left behind
    EXPECT_EQ(QFileInfo(archive + stem + kForwardToSuffix).lastModified().toSecsSinceEpoch(),
              downloaded.toSecsSinceEpoch());
}

TEST_F(QueueTest, MoveIntoAMissingArchiveFailsAndLeavesThePair)
{
    int counter = 0;
    const QString stem = queuePair(counter, "Body\r\n");
    const QString missing = dir.path() + QStringLiteral("/NoEnviats/");
    const StoreResult moved
        = MoureParella(stem + kForwardToSuffix, stem + kMessageSuffix, queue, missing);
    EXPECT_FALSE(moved);
    EXPECT_EQ(moved.error, QStringLiteral("Arxivant: la carpeta %1 no existeix").arg(missing));
    EXPECT_EQ(filesIn(queue).size(), 2);
}

TEST_F(QueueTest, MoveThatFailsHalfWayPutsTheMessageBack)
{
    int counter = 0;
    const QString stem = queuePair(counter, "Body\r\n");
    // A folder in the archive under the forward-to file's name blocks the second rename.
    ASSERT_TRUE(QDir(sent).mkdir(stem + kForwardToSuffix));
    const StoreResult moved
        = MoureParella(stem + kForwardToSuffix, stem + kMessageSuffix, queue, sent);
    EXPECT_FALSE(moved);
    EXPECT_TRUE(moved.error.startsWith(QStringLiteral("Arxivant: no s'ha pogut moure %1 a %2: ")
                                           .arg(stem + kForwardToSuffix, sent)))
        << moved.error.toStdString();
    EXPECT_EQ(readAll(queue + stem + kMessageSuffix), "Body\r\n");
    EXPECT_EQ(readAll(queue + stem + kForwardToSuffix), "a@b.cat");
    EXPECT_FALSE(QFileInfo::exists(sent + stem + kMessageSuffix));
}

TEST_F(QueueTest, PurgeCountsCalendarDays)
{
    struct Row
    {
        const char *name;
        int days;
        QDateTime written;
        QDateTime now;
        bool purged;
    };
    const QDate day1(2024, 3, 10);
    const Row rows[] = {
        {"23:59 is one day old a minute later", 1, QDateTime(day1, QTime(23, 59)),
         QDateTime(day1.addDays(1), QTime(0, 0)), false},
        {"two midnights later", 1, QDateTime(day1, QTime(23, 59)),
         QDateTime(day1.addDays(2), QTime(0, 0, 30)), true},
        {"00:01 still zero days at 23:59", 0 + 1, QDateTime(day1, QTime(0, 1)),
         QDateTime(day1, QTime(23, 59)), false},
        {"3 days, day 4 kept", 3, QDateTime(day1, QTime(10, 0)),
         QDateTime(day1.addDays(3), QTime(23, 59)), false},
        {"3 days, day 5 purged", 3, QDateTime(day1, QTime(10, 0)),
         QDateTime(day1.addDays(4), QTime(0, 1)), true},
        {"0 days keeps for ever", 0, QDateTime(day1.addYears(-5), QTime(10, 0)),
         QDateTime(day1, QTime(10, 0)), false},
        {"from the future", 1, QDateTime(day1.addDays(10), QTime(10, 0)),
         QDateTime(day1, QTime(10, 0)), false},
    };
    for (const Row &row : rows) {
        const QString stem = QStringLiteral("M202403101000000001");
        writeFile(sent + stem + kForwardToSuffix, "a@b.cat");
        writeFile(sent + stem + kMessageSuffix, "Body\r\n");
        setModified(sent + stem + kForwardToSuffix, row.written);
        int examined = 0;
        PurgarArxiu(sent, row.days, row.now, [&examined] { ++examined; });
        EXPECT_EQ(!QFileInfo::exists(sent + stem + kForwardToSuffix), row.purged) << row.name;
        EXPECT_EQ(!QFileInfo::exists(sent + stem + kMessageSuffix), row.purged) << row.name;
        EXPECT_EQ(examined, row.days > 0 ? 1 : 0) << row.name;
    }
}

TEST_F(QueueTest, PurgeLeavesStrayMessagesAndGoesOnPastMissingOnes)
{
    const QDateTime old(QDate(2020, 1, 1), QTime(12, 0));
    writeFile(sent + QStringLiteral("M202001011200000001.missatge"), "stray");
    setModified(sent + QStringLiteral("M202001011200000001.missatge"), old);
    writeFile(sent + QStringLiteral("M202001011200000002.destinatari"), "no message");
    setModified(sent + QStringLiteral("M202001011200000002.destinatari"), old);
    writeFile(sent + QStringLiteral("M202001011200000003.destinatari"), "a@b.cat");
    writeFile(sent + QStringLiteral("M202001011200000003.missatge"), "m");
    setModified(sent + QStringLiteral("M202001011200000003.destinatari"), old);
    int examined = 0;
    PurgarArxiu(sent, 3, QDateTime(QDate(2024, 1, 1), QTime(12, 0)), [&] { ++examined; });
    EXPECT_EQ(examined, 2);
    EXPECT_EQ(filesIn(sent), QStringList({QStringLiteral("M202001011200000001.missatge")}));
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Mail is private to the account that runs the router, whatever its umask allows.
TEST_F(QueueTest, QueuedFilesAreReadableByTheirOwnerOnly)
{
    const mode_t old = ::umask(022);
    int counter = 0;
    QueuedMessageFile file = openQueuedPair(counter, queue, QStringLiteral("a@b.cat"), kNow);
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(modeOf(file.partPath()), 0600u);
    ASSERT_TRUE(file.write("m\r\n"));
    ASSERT_TRUE(file.commit());
    ::umask(old);
    EXPECT_EQ(modeOf(file.forwardToPath()), 0600u);
    EXPECT_EQ(modeOf(file.messagePath()), 0600u);
}

// A full disk says so, in the words of the event log, not "Unknown error".
TEST_F(QueueTest, FullDiskIsToldAsSuch)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a small tmpfs needs root";
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    const QByteArray target = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", target.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount
    {
        QByteArray target;
        ~Unmount() { ::umount(target.constData()); }
    } unmount {target};
    int counter = 0;
    QueuedMessageFile file
        = openQueuedPair(counter, mountPoint.path(), QStringLiteral("a@b.cat"), kNow);
    ASSERT_TRUE(file.isOpen()) << file.errorString().toStdString();
    bool written = true;
    for (int i = 0; i < 20 && written; ++i)
        written = file.write(QByteArray(8192, 'x'));
    EXPECT_FALSE(written && file.commit());
    EXPECT_TRUE(file.errorString().endsWith(QStringLiteral(": el disc és ple")))
        << file.errorString().toStdString();
}

// The copy kept while the anti-spam program runs: a crash in that moment leaves it, and
// the next run puts it back when the message was lost, or removes it otherwise.
TEST_F(QueueTest, LeftoverSafetyCopiesAreRestoredOrRemoved)
{
    struct Row
    {
        const char *stem;
        const char *message; // nullptr: no message file
        const char *kept;
    };
    const Row rows[] = {
        {"M202401312359590001", "rewritten", "rewritten"},
        {"M202401312359590002", nullptr, "copy"},
        {"M202401312359590003", "", "copy"},
    };
    for (const Row &row : rows) {
        const QString base = queue + QString::fromLatin1(row.stem) + kMessageSuffix;
        writeFile(base + QStringLiteral(".copia"), "copy");
        if (row.message)
            writeFile(base, row.message);
    }
    EXPECT_TRUE(listQueue(queue).isEmpty());
    removeLeftoverParts(queue);
    for (const Row &row : rows) {
        const QString base = queue + QString::fromLatin1(row.stem) + kMessageSuffix;
        EXPECT_EQ(readAll(base), row.kept) << row.stem;
        EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral(".copia"))) << row.stem;
    }
}

// A sent pair whose move failed is listed under its mark, once per pass, filed under its
// forward-to name, and its stem is not given to a new message while the mark is there.
TEST_F(QueueTest, SentMarkIsListedOnceAndFiledUnderItsForwardToName)
{
    int counter = 0;
    const QString stem = queuePair(counter, "Body\r\n");
    QueuePass pass(queue);
    ASSERT_EQ(pass.next(), stem + kForwardToSuffix);
    ASSERT_TRUE(markSent(queue, stem + kForwardToSuffix));
    EXPECT_FALSE(pass.next());
    EXPECT_EQ(listQueue(queue), QStringList {stem + kSentMarkSuffix});
    EXPECT_EQ(checkQueuedPair(queue, stem + kSentMarkSuffix), PairCheck::Usable);

    ASSERT_TRUE(QFile::rename(queue + stem + kMessageSuffix, sent + QStringLiteral("keep")));
    int again = 0;
    EXPECT_NE(queuePair(again, "New\r\n"), stem);
    ASSERT_TRUE(QFile::rename(sent + QStringLiteral("keep"), queue + stem + kMessageSuffix));

    ASSERT_TRUE(MoureParella(stem + kSentMarkSuffix, stem + kMessageSuffix, queue, sent));
    EXPECT_EQ(filesIn(sent), QStringList({stem + kForwardToSuffix, stem + kMessageSuffix}));
    EXPECT_EQ(readAll(sent + stem + kForwardToSuffix), "a@b.cat");
}

// How long a pair has waited: by its stem, or by its forward-to file when the name holds
// no time.
TEST_F(QueueTest, QueueLifetimeCountsFromTheStemOrTheFile)
{
    const QDateTime now(QDate(2024, 3, 10), QTime(12, 0));
    struct Row
    {
        const char *name;
        QDateTime modified;
        bool over;
    };
    const Row rows[] = {
        {"M202403050900000001.destinatari", now, true},
        {"M202403051300000001.destinatari", now.addDays(-30), false},
        {"M202403051300000001.enviat", now, false},
        {"odd.destinatari", now.addDays(-6), true},
        {"odd.destinatari", now.addDays(-4), false},
        {"M202413050900000001.destinatari", now.addDays(-4), false},
        {"M202413050900000001.destinatari", now.addDays(-6), true},
    };
    for (const Row &row : rows) {
        const QString name = QString::fromLatin1(row.name);
        writeFile(queue + name, "a@b.cat");
        setModified(queue + name, row.modified);
        EXPECT_EQ(queueLifetimeOver(queue, name, now), row.over) << row.name;
        QFile::remove(queue + name);
    }
}

} // namespace
