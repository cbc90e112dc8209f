// The queue and archive store: crash-safe creation and never-overwritten stems, the
// listing, the pass and the pair check, moves into archives, leftovers of a crash, the
// purge and the queue lifetime. The durable steps and their failures: test_queue_durability.cpp.
#include "routing/queue.h"
#include "routing/queuelock.h"
#include "routing/runcontext.h"
#include "support/mailfolders.h"
#include "support/recordingview.h"

#include <QFileInfo>
#include <QTimeZone>
#include <sys/stat.h>

using namespace vessamo::routing;
using namespace Qt::StringLiterals;

namespace {

const QDateTime kNow(QDate(2024, 1, 31), QTime(23, 59, 59));

class QueueTest : public ::testing::Test, public vessamo::test::MailFolders
{
protected:
    // Creates a committed pair the way a download does; folders may come without their
    // final "/".
    QString queuePair(int &counter, const QByteArray &message, const QString &folder = {})
    {
        QueuedMessageFile file = openQueuedPair(
            counter, folder.isEmpty() ? queue().chopped(1) : folder, u"a@b.cat"_s, kNow);
        EXPECT_TRUE(file.write(message) && file.commit()) << file.errorString().toStdString();
        return file.stem();
    }
};

// While it is written the message has no final name and the pair is not usable: a crash
// leaves at most a forward-to file and a temporary file, never a cut-off message. A stem
// archived by a run just before, in the same second, is never taken again. The files are
// private to the account that runs the router, whatever its umask allows.
TEST_F(QueueTest, MessageGetsItsFinalNameOnlyWhenCommitted)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QStringList archived = {stemFor(now, 1), stemFor(now.addSecs(1), 1)};
    for (const QString &stem : archived)
        writeFile(failed() + stem + kMessageSuffix, "archived");
    vessamo::test::RecordingView view;
    RunContext ctx(view, configuration);
    const mode_t oldMask = ::umask(022);
    QueuedMessageFile file = ObrirParella(ctx, u"u@x.cat;Josep Pàmies <j@y.cat>"_s);
    ::umask(oldMask);
    ASSERT_TRUE(file.isOpen()) << file.errorString().toStdString();
    EXPECT_FALSE(archived.contains(file.stem()));
    // Windows-1252, no line end, nothing else.
    EXPECT_EQ(bytesOf(file.forwardToPath()), "u@x.cat;Josep P\xe0mies <j@y.cat>");
    ASSERT_TRUE(file.write("Subject: x\r\n") && file.write("\r\n.dot\r\n"));
    EXPECT_EQ(files(queue()),
              QStringList({file.stem() + kForwardToSuffix, file.stem() + u".missatge.part"_s}));
    EXPECT_EQ(checkQueuedPair(queue(), file.stem() + kForwardToSuffix), PairCheck::Dropped);
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(bytesOf(file.messagePath()), "Subject: x\r\n\r\n.dot\r\n");
    for (const QString &path : {file.forwardToPath(), file.messagePath()})
        EXPECT_FALSE(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther));

    // Destroyed or discarded without commit: nothing of it stays.
    {
        QueuedMessageFile dropped = ObrirParella(ctx, u"a@b.cat"_s);
    }
    QueuedMessageFile discarded = ObrirParella(ctx, u"a@b.cat"_s);
    ASSERT_TRUE(discarded.write("half a mess"));
    discarded.discard();
    EXPECT_FALSE(discarded.commit());
    // The message the check found without its forward-to file is all that is left.
    EXPECT_EQ(files(queue()), QStringList {file.stem() + kMessageSuffix});
}

// A second run within the same second finds pairs, a stray message and a cut download
// under the stems it would take: each is skipped, never overwritten. Past 9,999 stems keep
// 19 characters; with all 10,000 of one second taken, a pair is refused.
TEST_F(QueueTest, TakenStemsAreSkippedAndNeverOverwritten)
{
    writeFile(queue() + u"M202401312359590001.destinatari"_s, "old");
    writeFile(queue() + u"M202401312359590002.missatge"_s, "stray");
    writeFile(queue() + u"M202401312359590003.missatge.part"_s, "cut");
    int counter = 0;
    QueuedMessageFile file = openQueuedPair(counter, queue(), u"a"_s, kNow);
    EXPECT_EQ(file.stem(), u"M202401312359590004"_s);
    EXPECT_EQ(bytesOf(queue() + u"M202401312359590001.destinatari"_s), "old");
    EXPECT_EQ(bytesOf(queue() + u"M202401312359590002.missatge"_s), "stray");
    file.discard();
    writeFile(queue() + u"M202401312359590000.destinatari"_s, "taken");
    counter = 9999;
    EXPECT_EQ(queuePair(counter, "x\r\n"), u"M202401312359590004"_s);

    for (int i = 0; i < 10000; ++i)
        writeFile(sent() + stemFor(kNow, i) + kForwardToSuffix, "taken");
    EXPECT_FALSE(openQueuedPair(counter, sent(), u"a"_s, kNow).isOpen());
    EXPECT_EQ(files(sent()).size(), 10000);
}

// Oldest first, forward-to files and sent marks only. The check drops a forward-to file
// without message and an empty message with its forward-to file, and never takes another
// pair's message for a malformed name.
TEST_F(QueueTest, ListingAndPairCheck)
{
    for (const QString &name :
         {u"M202402010000000001.destinatari"_s, u"M202401312359590002.destinatari"_s,
          u"M202401312359590001.enviat"_s, u"M202401312359590009.missatge"_s,
          u"M202401312359590011.DESTINATARI"_s, u"M202401312359590009x.destinatari"_s})
        writeFile(queue() + name, "x");
    writeFile(queue() + u"M202401312359590001.missatge"_s, "");
    ASSERT_TRUE(QDir(queue()).mkdir(u"M202401010000000001.destinatari"_s));
    const QStringList listed = listQueue(queue());
    EXPECT_EQ(
        listed,
        QStringList({u"M202401312359590001.enviat"_s, u"M202401312359590002.destinatari"_s,
                     u"M202401312359590009x.destinatari"_s, u"M202402010000000001.destinatari"_s}));
    for (const QString &name : listed)
        EXPECT_EQ(checkQueuedPair(queue(), name), PairCheck::Dropped) << name.toStdString();
    EXPECT_EQ(
        files(queue()),
        QStringList({u"M202401312359590009.missatge"_s, u"M202401312359590011.DESTINATARI"_s}));
}

// At the start of a run: a cut download goes; a safety copy left by a crash during the
// anti-spam program is put back when the message is gone or empty, else removed.
TEST_F(QueueTest, LeftoversOfACrashAreRemovedOrPutBack)
{
    const QString m = queue() + u"M20240131235959000"_s;
    writeFile(m + u"1.missatge.part"_s, "cut");
    for (const char *n : {"2", "3", "4"})
        writeFile(m + QLatin1StringView(n) + u".missatge.copia"_s, "copy");
    writeFile(m + u"3.missatge"_s, "");
    writeFile(m + u"4.missatge"_s, "rewritten");
    removeLeftoverParts(queue());
    EXPECT_EQ(files(queue()),
              QStringList({u"M202401312359590002.missatge"_s, u"M202401312359590003.missatge"_s,
                           u"M202401312359590004.missatge"_s}));
    EXPECT_EQ(bytesOf(m + u"2.missatge"_s) + bytesOf(m + u"3.missatge"_s)
                  + bytesOf(m + u"4.missatge"_s),
              "copycopyrewritten");
}

TEST_F(QueueTest, QueuePassHandsOutEachPairOnceOldestFirst)
{
    int counter = 0;
    QStringList stems;
    for (int i = 0; i < 4; ++i)
        stems << queuePair(counter, "m\r\n");
    QueuePass pass(queue());
    EXPECT_EQ(pass.next(), stems[0] + kForwardToSuffix);
    // Marked sent during the pass: not handed out again under its mark.
    ASSERT_TRUE(markSent(queue(), stems[0] + kForwardToSuffix));
    // Cannot be moved and stays: must not come back.
    EXPECT_EQ(pass.next(), stems[1] + kForwardToSuffix);
    // Removed from under the pass: skipped.
    QFile::remove(queue() + stems[2] + kForwardToSuffix);
    // Arrives during the pass with an older name: still handed out, once.
    writeFile(queue() + u"M202001010000000001.destinatari"_s, "a@b.cat");
    EXPECT_EQ(pass.next(), stems[3] + kForwardToSuffix);
    EXPECT_EQ(pass.next(), u"M202001010000000001.destinatari"_s);
    EXPECT_FALSE(pass.next());

    // The sent mark is listed for the next pass; its stem is not given to a new message even
    // while the message file is away.
    EXPECT_TRUE(listQueue(queue()).contains(stems[0] + kSentMarkSuffix));
    ASSERT_TRUE(QFile::rename(queue() + stems[0] + kMessageSuffix, sent() + u"keep"_s));
    int again = 0;
    EXPECT_NE(queuePair(again, "New\r\n"), stems[0]);
}

// A move replaces files of the same names and keeps the time the purge counts from, by a
// rename or, across file systems, by a copy that leaves no temporary file behind; folders
// without their final "/" are no other folders.
TEST_F(QueueTest, MoveReplacesAndKeepsTheTimeOnOneOrTwoFileSystems)
{
    QTemporaryDir shm(u"/dev/shm/vessamo-test-XXXXXX"_s);
    ASSERT_TRUE(shm.isValid());
    for (const QString &archive : {sent(), shm.path() + u'/'}) {
        SCOPED_TRACE(archive.toStdString());
        int counter = 0;
        const QString stem = queuePair(counter, QByteArray(200000, 'x'));
        const QDateTime downloaded = QDateTime::currentDateTime().addDays(-2);
        setModified(queue() + stem + kForwardToSuffix, downloaded);
        writeFile(archive + stem + kMessageSuffix, "older copy");
        ASSERT_TRUE(MoureParella(stem + kForwardToSuffix, stem + kMessageSuffix, queue().chopped(1),
                                 archive.chopped(1)));
        EXPECT_TRUE(files(queue()).isEmpty());
        EXPECT_EQ(bytesOf(archive + stem + kMessageSuffix), QByteArray(200000, 'x'));
        EXPECT_EQ(files(archive).size(), 2);
        EXPECT_TRUE(files(dir.path()).isEmpty());
        EXPECT_EQ(QFileInfo(archive + stem + kForwardToSuffix).lastModified().toSecsSinceEpoch(),
                  downloaded.toSecsSinceEpoch());
    }
}

// Age in local midnights, strictly more than the days given goes; 0 keeps everything. A
// message without its forward-to file (a move cut by a crash) goes by its own age.
TEST_F(QueueTest, PurgeCountsCalendarDaysForPairsAndLoneMessages)
{
    const QDate day(2024, 3, 10);
    const std::tuple<int, QDateTime, QDateTime, bool> rows[] = {
        {1, QDateTime(day, QTime(23, 59)), QDateTime(day.addDays(1), QTime(0, 0)), false},
        {1, QDateTime(day, QTime(23, 59)), QDateTime(day.addDays(2), QTime(0, 0, 30)), true},
        {3, QDateTime(day, QTime(10, 0)), QDateTime(day.addDays(4), QTime(0, 1)), true},
        {0, QDateTime(day.addYears(-5), QTime(10, 0)), QDateTime(day, QTime(10, 0)), false},
        {1, QDateTime(day.addDays(10), QTime(10, 0)), QDateTime(day, QTime(10, 0)), false},
    };
    const QString lone = sent() + u"M202001011200000001.missatge"_s;
    for (const auto &[days, written, now, purged] : rows) {
        SCOPED_TRACE(now.toString().toStdString());
        placePair(sent(), u"M202403101000000001"_s, "a@b.cat", "Body\r\n");
        setModified(sent() + u"M202403101000000001.destinatari"_s, written);
        writeFile(lone, "lone");
        setModified(lone, written);
        PurgarArxiu(sent(), days, now);
        EXPECT_EQ(files(sent()).size(), purged ? 0 : 3);
    }
}

// A pair's time in the queue counts from its first attempt, never from its stem: a message
// named by a clock a week slow and put off for the first time is not old. Within one boot
// the boot clock counts (setting the wall clock changes nothing); across boots the wall
// clock; a record from the future or cut short is written afresh.
TEST_F(QueueTest, QueueLifetimeCountsFromTheFirstAttempt)
{
    const QString name = u"M202403010900000001.destinatari"_s;
    const QString record = queue() + u"M202403010900000001.intent"_s;
    const AttemptClock now {QDateTime(QDate(2024, 3, 10), QTime(12, 0), QTimeZone::utc()), "boot-b",
                            50 * 86400000LL};
    const auto at = [&](qint64 wallDays, const QByteArray &boot, qint64 bootDays) {
        return QByteArray::number(now.wall.addDays(wallDays).toMSecsSinceEpoch()) + ' ' + boot + ' '
            + QByteArray::number(now.bootMs + bootDays * 86400000LL) + '\n';
    };
    writeFile(queue() + name, "a@b.cat");
    EXPECT_FALSE(queueLifetimeOver(queue(), name, now));
    EXPECT_EQ(bytesOf(record), at(0, "boot-b", 0));
    const std::tuple<const char *, QByteArray, bool, bool> rows[] = {
        // record, over, rewritten
        {"same boot, 6 days by the boot clock", at(0, "boot-b", -6), true, false},
        {"same boot, the wall clock stepped a week on", at(-7, "boot-b", -1), false, false},
        {"an earlier boot, 6 days ago", at(-6, "boot-a", 40), true, false},
        {"an earlier boot, 4 days ago", at(-4, "boot-a", -40), false, false},
        {"an earlier boot, in the future", at(3, "boot-a", 0), false, true},
        {"cut short", at(-9, "boot-a", 0).chopped(4), false, true},
    };
    for (const auto &[what, text, over, rewritten] : rows) {
        SCOPED_TRACE(what);
        writeFile(record, text);
        EXPECT_EQ(queueLifetimeOver(queue(), name, now), over);
        EXPECT_EQ(bytesOf(record), rewritten ? at(0, "boot-b", 0) : text);
    }
    // The queue is the service's and the run may be root's: a link planted under the
    // record's name is never written through.
    const QString victim = dir.filePath(u"victim"_s);
    writeFile(victim, "precious");
    ASSERT_TRUE(QFile::remove(record));
    ASSERT_TRUE(QFile::link(victim, record));
    EXPECT_FALSE(queueLifetimeOver(queue(), name, now));
    EXPECT_EQ(bytesOf(victim), "precious");
    ASSERT_TRUE(QFile::remove(record));
    // Nor does a FIFO there hold the run.
    ASSERT_EQ(::mkfifo(QFile::encodeName(record).constData(), 0600), 0);
    EXPECT_FALSE(queueLifetimeOver(queue(), name, now));
    ASSERT_TRUE(QFile::remove(record));
    // Leaves with its pair; a record whose pair is gone goes at the start of a run.
    placePair(queue(), u"M202403010900000001"_s, "a@b.cat", "x\r\n");
    ASSERT_TRUE(MoureParella(name, u"M202403010900000001.missatge"_s, queue(), failed()));
    EXPECT_FALSE(QFileInfo::exists(record));
    EXPECT_EQ(files(failed()).size(), 2);
    writeFile(record, "x");
    EXPECT_EQ(removeLeftoverParts(queue()), 1);
    EXPECT_TRUE(files(queue()).isEmpty());

    // Root's run over the service's queue: what it makes there is the service's, which must
    // read and rewrite it.
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: files of another owner cannot be made";
    ASSERT_EQ(::chown(QFile::encodeName(queue()).constData(), 65534, 65534), 0);
    int counter = 0;
    const QString stem = queuePair(counter, "x\r\n");
    EXPECT_FALSE(queueLifetimeOver(queue(), stem + kForwardToSuffix, now));
    ASSERT_EQ(files(queue()).size(), 3);
    for (const QString &made : files(queue())) {
        struct stat st
        {
        };
        ASSERT_EQ(::stat(QFile::encodeName(queue() + made).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << made.toStdString();
    }
}

} // namespace

namespace {

// One router at a time: a second lock on the queue is refused while the first is held (even
// in one process: flock locks belong to the open file); a link or a FIFO planted under the
// lock's name is refused, never followed or waited on. A lock file root makes goes to the
// folder's owner, so the service can still open it.
TEST_F(QueueTest, QueueLockKeepsOneRouterAtATime)
{
    const QString lockPath = queue() + kQueueLockName;
    {
        const QueueLock first(queue().chopped(1));
        ASSERT_TRUE(first.held()) << first.errorString().toStdString();
        EXPECT_EQ(first.path(), lockPath);
        EXPECT_EQ(QueueLock(queue()).state(), QueueLock::State::Busy);
        EXPECT_FALSE(QFileInfo(lockPath).permissions() & (QFile::ReadGroup | QFile::ReadOther));
    }
    EXPECT_TRUE(QueueLock(queue()).held());

    const QString target = dir.filePath(u"elsewhere"_s);
    ASSERT_TRUE(QFile::remove(lockPath) && QFile::link(target, lockPath));
    const QueueLock link(queue());
    EXPECT_EQ(link.state(), QueueLock::State::Failed);
    EXPECT_EQ(link.errorString(), u"és un enllaç"_s);
    EXPECT_FALSE(QFileInfo::exists(target));

    ASSERT_TRUE(QFile::remove(lockPath));
    ASSERT_EQ(::mkfifo(QFile::encodeName(lockPath).constData(), 0600), 0);
    EXPECT_EQ(QueueLock(queue()).state(), QueueLock::State::Failed);

    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: a lock file of another owner cannot be made";
    ASSERT_TRUE(QFile::remove(lockPath));
    const uid_t nobody = 65534;
    ASSERT_EQ(::chown(QFile::encodeName(queue()).constData(), nobody, nobody), 0);
    EXPECT_TRUE(QueueLock(queue()).held());
    struct stat st
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(lockPath).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

} // namespace
