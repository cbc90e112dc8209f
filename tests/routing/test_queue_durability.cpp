// The durable steps of a move into an archive, seen through a recording backend: their order
// and what the store does when one fails as a full disk, a refused rename, another file
// system or a failed flush would. The steps of a POP3 download: test_pop3session.cpp.
#include "routing/queue.h"
#include "support/mailfolders.h"
#include "support/recordingbackend.h"

#include <cerrno>

using namespace vessamo::routing;
using vessamo::test::RecordingBackend;

namespace {

const QString kStem = QStringLiteral("M202401010000000001");
const QString kMessage = kStem + kMessageSuffix;
const QString kForwardTo = kStem + kForwardToSuffix;

// One queued pair, moved into the sent archive with the backend watching.
class QueueDurability : public ::testing::Test, public vessamo::test::MailFolders
{
protected:
    QueueDurability() { placePair(queue(), kStem, "a@b.cat", "x\r\n"); }
    StoreResult move(FolderSyncs *syncs = nullptr)
    {
        return MoureParella(kForwardTo, kMessage, queue(), sent(), syncs);
    }

    RecordingBackend backend {dir.path()};
    ScopedQueueBackend use {backend};
};

// The message moves first: a crash between the two renames leaves a forward-to file alone
// in the queue (the next pair check moves it after its message), never a listed pair
// without its message. Each rename is on disk (both folders flushed) before the next step;
// the queue pass batches the flushes instead.
TEST_F(QueueDurability, TheMessageMovesFirstAndEveryRenameIsFlushed)
{
    ASSERT_TRUE(move());
    EXPECT_EQ(backend.steps.join(u'\n'),
              QStringLiteral("rename Cua/%1 SiEnviats/%1\nflush SiEnviats/\nflush Cua/\n"
                             "rename Cua/%2 SiEnviats/%2\nflush SiEnviats/\nflush Cua/")
                  .arg(kMessage, kForwardTo));

    backend.steps.clear();
    placePair(queue(), kStem, "a@b.cat", "x\r\n");
    FolderSyncs syncs;
    ASSERT_TRUE(move(&syncs));
    EXPECT_EQ(backend.steps.filter(QStringLiteral("flush")).size(), 0);
    ASSERT_TRUE(syncs.flush());
    EXPECT_EQ(backend.steps.filter(QStringLiteral("flush")).size(), 2);
}

// Whatever step fails, the pair ends whole in exactly one folder, and a failure says so.
TEST_F(QueueDurability, AFailedStepOfAMoveLeavesThePairWholeInOneFolder)
{
    const char *toArchive = "^rename Cua/";
    const std::tuple<const char *, QList<RecordingBackend::Fault>, bool, const char *> rows[] = {
        // faults, moved, a step taken (%1: the message)
        {"the message cannot be renamed", {{"^rename Cua/.*missatge ", EIO}}, false, ""},
        {"the forward-to file cannot follow: the message comes back",
         {{"^rename Cua/.*destinatari ", EACCES}},
         false,
         "rename SiEnviats/%1 Cua/%1"},
        {"another file system: copy, flush, name, flush, delete",
         {{toArchive, EXDEV}},
         true,
         "flush SiEnviats/%1.part"},
        {"another file system, the archive folder's flush fails",
         {{toArchive, EXDEV}, {"^flush SiEnviats/$", EIO}},
         false,
         "remove SiEnviats/%1"},
        {"another file system, the disk is full",
         {{toArchive, EXDEV}, {"^write SiEnviats/", ENOSPC}},
         false,
         "remove SiEnviats/%1.part"},
        {"another file system, the source cannot be deleted",
         {{toArchive, EXDEV}, {"^remove Cua/", EACCES}},
         false,
         "remove SiEnviats/%1"},
    };
    const QStringList pair = {kForwardTo, kMessage};
    for (const auto &[name, faults, moved, taken] : rows) {
        SCOPED_TRACE(name);
        placePair(queue(), kStem, "a@b.cat", "x\r\n");
        for (const QString &file : files(sent()))
            QFile::remove(sent() + file);
        backend.steps.clear();
        backend.faults = faults;
        const StoreResult result = move();
        SCOPED_TRACE(backend.steps.join(u'\n').toStdString());
        EXPECT_EQ(result.error.startsWith(QStringLiteral("Arxivant: ")), !moved);
        EXPECT_EQ(files(sent()), moved ? pair : QStringList());
        EXPECT_EQ(files(queue()), moved ? QStringList() : pair);
        EXPECT_TRUE(!*taken || backend.steps.contains(QString::fromUtf8(taken).arg(kMessage)));
    }
}

} // namespace
