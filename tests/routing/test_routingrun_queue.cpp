// The queue across runs: a message that a server accepted is never forwarded again, even
// when its archive folder cannot take it; only the move is tried again, and logged once
// per run.
#include "test_routingrun_kit.h"

using namespace vessamo;
using test::relayedData;
using test::storedMessage;

namespace {

using RoutingQueue = test::RoutingRunTest;

const QByteArray kMessage = storedMessage("From: Old One <old1@example.org>", "left over");
const QString kStem = QStringLiteral("M202401010000000001");

TEST_F(RoutingQueue, AcceptedMessageIsNeverForwardedAgainWhenItsArchiveFails)
{
    struct Row
    {
        const char *name;
        bool fileInItsPlace;
    };
    for (const Row row : {Row {"missing sent archive", false}, Row {"a file in its place", true}}) {
        SCOPED_TRACE(row.name);
        const QString archive = sent().chopped(1);
        ASSERT_TRUE(QDir(archive).removeRecursively());
        if (row.fileInItsPlace) {
            QFile blocker(archive);
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        }
        placePair(queue(), kStem, "joan@example.net", kMessage);
        const qsizetype sentBefore = smtp.messages().size();
        const qsizetype logBefore = loggedWith(QStringLiteral("Arxivant: ")).size();

        runOnce();
        runOnce();

        EXPECT_EQ(smtp.messages().size() - sentBefore, 1);
        // The move is tried and logged once per run.
        EXPECT_EQ(loggedWith(QStringLiteral("Arxivant: ")).size() - logBefore, 2);
        ASSERT_TRUE(QFile::remove(archive) || !row.fileInItsPlace);
        ASSERT_TRUE(QDir().mkpath(archive));

        runOnce();

        EXPECT_EQ(smtp.messages().size() - sentBefore, 1);
        EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
        EXPECT_EQ(files(sent()),
                  (QStringList {kStem + QStringLiteral(".destinatari"),
                                kStem + QStringLiteral(".missatge")}));
        EXPECT_EQ(bytesOf(sent() + kStem + QStringLiteral(".missatge")), kMessage);
        EXPECT_EQ(bytesOf(sent() + kStem + QStringLiteral(".destinatari")), "joan@example.net");
        ASSERT_TRUE(QDir(sent()).removeRecursively());
    }
}

} // namespace
