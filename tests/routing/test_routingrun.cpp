// Whole routing runs in process, against fake POP3 and SMTP servers on loopback: a full
// run byte for byte, a run without connection, a mailbox that cannot be read, pairs left
// by an earlier run, the safety timer, archive folders that are missing, and the purge.
// Mailboxes that fail at each step of their session: test_pop3_faults.cpp.
#include "test_routingrun_kit.h"

#include <QDateTime>

using namespace vessamo;
using test::envelopes;
using test::FakePop3;
using test::relayedData;
using test::storedMessage;

namespace {

// The mail object reads remembered settings of the user: keep the user's own out of it.
class ConfigHomeEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    }
    QTemporaryDir home;
};
[[maybe_unused]] ::testing::Environment *const configHome
    = ::testing::AddGlobalTestEnvironment(new ConfigHomeEnvironment);

const QByteArray kLeftOver1 = storedMessage("From: Old One <old1@example.org>", "left over 1");
const QByteArray kLeftOver2 = storedMessage("From: old2@example.org", "left over 2");

using RoutingRun = test::RoutingRunTest;

} // namespace

TEST_F(RoutingRun, FullRunForwardsEveryMessageByteExactAndArchivesIt)
{
    // A large message arrives in many blocks and is relayed unchanged.
    QByteArray big = storedMessage("From: \"Gran, Anna\" <anna@example.org>", "big");
    for (int i = 0; big.size() < 300 * 1024; ++i)
        big += (i % 7 == 0 ? "." : "") + QByteArray::number(i) + QByteArray(70, 'x') + "\r\n";
    const QList<QByteArray> box1 = {
        storedMessage("From: Joan Puig <jpuig@example.org>", "first"),
        big,
    };
    const QByteArray box2Message = storedMessage("From: maria@example.com", "third");
    for (const QByteArray &m : box1)
        pop1.addMessage(m);
    pop2.addMessage(box2Message);
    pop1.setSplitter([](const QByteArray &wire) {
        QList<QByteArray> pieces;
        for (qsizetype at = 0; at < wire.size(); at += 8192)
            pieces << wire.mid(at, 8192);
        return pieces;
    });

    runOnce();

    // Oldest first: the order in which the pairs were queued.
    const QList<QByteArray> expected
        = {relayedData(box1[0]), relayedData(box1[1]), relayedData(box2Message)};
    ASSERT_EQ(smtp.messages().size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(smtp.messages()[i] == expected[i]) << "message " << i;
    const QList<test::Envelope> env = envelopes(smtp.commands());
    ASSERT_EQ(env.size(), 3);
    EXPECT_EQ(env[0].mailFrom, "MAIL FROM: <jpuig@example.org>");
    EXPECT_EQ(env[0].rcptTo, QList<QByteArray> {"RCPT TO: <joan@example.net>"});
    EXPECT_EQ(env[1].mailFrom, "MAIL FROM: <anna@example.org>");
    EXPECT_EQ(env[1].rcptTo, QList<QByteArray> {"RCPT TO: <joan@example.net>"});
    EXPECT_EQ(env[2].mailFrom, "MAIL FROM: <maria@example.com>");
    EXPECT_EQ(env[2].rcptTo, QList<QByteArray> {"RCPT TO: <marta@example.net>"});

    // Each pair in the sent archive, as stored; nothing left behind.
    const QStringList archived = stems(sent());
    ASSERT_EQ(archived.size(), 3);
    const QList<QByteArray> stored = {box1[0], box1[1], box2Message};
    const QList<QByteArray> forwardTo
        = {"joan@example.net", "joan@example.net", "marta@example.net"};
    for (qsizetype i = 0; i < 3; ++i) {
        EXPECT_TRUE(bytesOf(sent() + archived[i] + QStringLiteral(".missatge")) == stored[i]);
        EXPECT_EQ(bytesOf(sent() + archived[i] + QStringLiteral(".destinatari")), forwardTo[i]);
    }
    EXPECT_EQ(files(sent()).size(), 6);
    EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
    EXPECT_TRUE(files(failed()).isEmpty());
    EXPECT_TRUE(files(spam()).isEmpty());
    EXPECT_TRUE(pop1.messages().isEmpty());
    EXPECT_TRUE(pop2.messages().isEmpty());
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
    EXPECT_TRUE(view.labels.contains(QStringLiteral("Llegint correu de pere")));
    EXPECT_TRUE(view.labels.contains(QStringLiteral("Reenviant correu a marta@example.net")));
    // The password never shows.
    EXPECT_FALSE(view.statuses.join(u'\n').contains(QStringLiteral("secret")));
}

TEST_F(RoutingRun, NoConnectionContactsNothingAndLeavesTheQueue)
{
    pop1.addMessage(storedMessage("From: a@example.org", "waiting"));
    config::Busties[1].Servidor = QStringLiteral("pop.example.net");
    config::Configuracio.ServidorSMTP = QStringLiteral("smtp.example.net");
    placePair(queue(), QStringLiteral("M202401010000000001"), "joan@example.net", kLeftOver1);
    const QStringList before = snapshot(queue());
    connected = false;

    runOnce();

    // The check was asked about every server of the run.
    EXPECT_EQ(checkedServers,
              (QStringList {QStringLiteral("127.0.0.1"), QStringLiteral("pop.example.net"),
                            QStringLiteral("smtp.example.net")}));
    EXPECT_EQ(pop1.connections(), 0);
    EXPECT_EQ(pop1.messages().size(), 1);
    EXPECT_EQ(smtp.connections(), 0);
    EXPECT_EQ(snapshot(queue()), before);
    EXPECT_TRUE(files(sent()).isEmpty());
    EXPECT_TRUE(files(failed()).isEmpty());
    EXPECT_TRUE(logged().isEmpty());
}

// An unset queue folder would otherwise make the run work in the current folder.
TEST_F(RoutingRun, NoQueueFolderReadsNoMailbox)
{
    pop1.addMessage(storedMessage("From: a@example.org", "stays"));
    config::Configuracio.CarpetaCua = QStringLiteral("  ");

    runOnce();

    EXPECT_EQ(pop1.connections(), 0);
    EXPECT_EQ(pop1.messages().size(), 1);
    EXPECT_EQ(smtp.connections(), 0);
    EXPECT_EQ(logged(),
              QStringList {QStringLiteral("Rebent: no s'ha configurat la carpeta de la cua")});
}

TEST_F(RoutingRun, WrongPasswordIsLoggedAndTheRunGoesOn)
{
    config::Busties[0].Contrassenya = QStringLiteral("wrong");
    const QByteArray kept = storedMessage("From: a@example.org", "stays on the server");
    const QByteArray read = storedMessage("From: Bea <bea@example.org>", "read");
    pop1.addMessage(kept);
    pop2.addMessage(read);

    runOnce();

    const QStringList log = logged();
    ASSERT_EQ(log.size(), 1) << log.join(u'|').toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("Rebent: -ERR [AUTH] Authentication failed.")))
        << log[0].toStdString();
    EXPECT_EQ(pop1.messages(), QList<QByteArray> {kept});
    EXPECT_TRUE(pop2.messages().isEmpty());
    ASSERT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(read));
    EXPECT_EQ(stems(sent()).size(), 1);
    EXPECT_TRUE(files(queue()).isEmpty());
}

TEST_F(RoutingRun, PairsLeftByAnEarlierRunAreForwardedWhenTheMailboxesAreEmpty)
{
    placePair(queue(), QStringLiteral("M202401010000000002"), "marta@example.net", kLeftOver2);
    placePair(queue(), QStringLiteral("M202401010000000001"), "joan@example.net", kLeftOver1);

    runOnce();

    // Both mailboxes were visited and found empty.
    EXPECT_TRUE(pop1.commands().contains("STAT"));
    EXPECT_TRUE(pop2.commands().contains("QUIT"));
    ASSERT_EQ(smtp.messages().size(), 2);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(kLeftOver1));
    EXPECT_TRUE(smtp.messages()[1] == relayedData(kLeftOver2));
    const QList<test::Envelope> env = envelopes(smtp.commands());
    ASSERT_EQ(env.size(), 2);
    EXPECT_EQ(env[0].mailFrom, "MAIL FROM: <old1@example.org>");
    EXPECT_EQ(env[1].rcptTo, QList<QByteArray> {"RCPT TO: <marta@example.net>"});
    EXPECT_EQ(stems(sent()),
              (QStringList {QStringLiteral("M202401010000000001"),
                            QStringLiteral("M202401010000000002")}));
    EXPECT_TRUE(files(queue()).isEmpty());
    EXPECT_TRUE(logged().isEmpty());
}

// The timer fires while a forwarding waits for the server's reply to the end of data: the
// wait ends at once and the pair stays queued (the server may hold the message: the next
// run decides), the queue pass stops before the next pair, and the purge still runs.
TEST_F(RoutingRun, SafetyTimerDuringForwardingStopsThePassButNotThePurge)
{
    smtp.script(".",
                test::FakeSmtpServer::Reply {
                    test::FakeSmtpServer::Reply::Send, {"250 2.0.0 queued\r\n"}, 0, 1000});
    placePair(queue(), QStringLiteral("M202401010000000001"), "joan@example.net", kLeftOver1);
    placePair(queue(), QStringLiteral("M202401010000000002"), "joan@example.net", kLeftOver2);
    const QString oldStem = QStringLiteral("M202301010000000001");
    placePair(sent(), oldStem, "joan@example.net", kLeftOver2);
    QFile old(sent() + oldStem + QStringLiteral(".destinatari"));
    ASSERT_TRUE(old.open(QIODevice::ReadWrite));
    ASSERT_TRUE(old.setFileTime(QDateTime::currentDateTime().addDays(-10),
                                QFileDevice::FileModificationTime));
    old.close();
    config::Configuracio.DiesArxiu = 1;

    runOnce([](routing::frmEnviarCorreu &form) { form.setSafetyTickMs(3); });

    EXPECT_EQ(logged(), QStringList {QStringLiteral("Tanquem pantalla per timeout")});
    ASSERT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(kLeftOver1));
    EXPECT_TRUE(stems(sent()).isEmpty());
    EXPECT_EQ(stems(queue()),
              (QStringList {QStringLiteral("M202401010000000001"),
                            QStringLiteral("M202401010000000002")}));
    EXPECT_EQ(files(queue()).size(), 4);
}

// A read-now right after a short run (or a restart after a crash) starts a second run in
// the same second; its counter starts again at 0001, so its first stems are those of the
// pairs the first run has just archived. An archived pair is the only copy left of its
// message (in the failed archive, of a message never delivered): it must not be replaced.
TEST_F(RoutingRun, RunsWithinOneSecondNeverReplaceAnArchivedPair)
{
    const QByteArray noSender1 = "Received: x\r\nSubject: first run\r\n\r\nno sender\r\n";
    const QByteArray noSender2 = "Received: x\r\nSubject: second run\r\n\r\nno sender\r\n";
    const QByteArray sent1 = storedMessage("From: a@example.org", "first run");
    const QByteArray sent2 = storedMessage("From: b@example.org", "second run");
    // (storedMessage puts "Subject: first run" and "Subject: second run" in them.)
    bool sameSecond = false;
    for (int attempt = 0; attempt < 3 && !sameSecond; ++attempt) {
        for (const QString &archive : {sent(), failed()}) {
            for (const QString &name : files(archive))
                QFile::remove(archive + name);
        }
        // Early in a second, so that both short runs fall within it.
        ASSERT_TRUE(test::eventually([] { return QTime::currentTime().msec() < 300; }, 2000));
        const QDateTime start = QDateTime::currentDateTime();
        pop1.addMessage(noSender1);
        pop1.addMessage(sent1);
        runOnce();
        pop1.addMessage(noSender2);
        pop1.addMessage(sent2);
        runOnce();
        sameSecond = QDateTime::currentDateTime().toSecsSinceEpoch() == start.toSecsSinceEpoch();
    }
    ASSERT_TRUE(sameSecond);

    // The subjects of the archived messages, sorted.
    auto subjectsIn = [](const QString &archive) {
        QStringList out;
        for (const QString &name : files(archive)) {
            if (!name.endsWith(QStringLiteral(".missatge")))
                continue;
            const QByteArray m = bytesOf(archive + name);
            const qsizetype at = m.indexOf("Subject: ");
            out << QString::fromLatin1(m.mid(at, m.indexOf('\r', at) - at));
        }
        out.sort();
        return out.join(u", ").toStdString();
    };
    EXPECT_EQ(subjectsIn(failed()), "Subject: first run, Subject: second run");
    EXPECT_EQ(subjectsIn(sent()), "Subject: first run, Subject: second run");
    EXPECT_EQ(stems(failed()).size(), 2);
    EXPECT_EQ(stems(sent()).size(), 2);
}

TEST_F(RoutingRun, MissingArchiveFolderLeavesThePairQueuedOnce)
{
    ASSERT_TRUE(QDir(sent()).removeRecursively());
    placePair(queue(), QStringLiteral("M202401010000000001"), "joan@example.net", kLeftOver1);

    // A pass that looped on the pair would never return here.
    runOnce();

    EXPECT_EQ(smtp.messages().size(), 1);
    // Queued under its sent mark, for the move alone.
    EXPECT_EQ(files(queue()),
              (QStringList {QStringLiteral("M202401010000000001.enviat"),
                            QStringLiteral("M202401010000000001.missatge")}));
    const QStringList log = logged();
    ASSERT_EQ(log.size(), 1) << log.join(u'|').toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("Arxivant: "))) << log[0].toStdString();
}

// An archive with a pair written three days ago and one written now. The sent and spam
// archives keep a pair for `DiesArxiu` days (age in midnights, strictly greater goes);
// the failed archive is never purged; 0 keeps everything.
TEST_F(RoutingRun, PurgeRemovesOldSentAndSpamPairsOnly)
{
    struct Row
    {
        qint16 days;
        bool oldPurged;
    };
    const Row rows[] = {{0, false}, {1, true}, {2, true}, {3, false}, {4, false}};
    // Noon, so that the age is three midnights whenever the test runs.
    const QDateTime threeDaysAgo(QDate::currentDate().addDays(-3), QTime(12, 0));
    const QString oldStem = QStringLiteral("M202401010000000001");
    const QString newStem = QStringLiteral("M202401020000000001");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.days);
        for (const QString &archive : {sent(), spam(), failed()}) {
            placePair(archive, oldStem, "joan@example.net", kLeftOver1);
            placePair(archive, newStem, "joan@example.net", kLeftOver2);
            for (const QString &suffix :
                 {QStringLiteral(".destinatari"), QStringLiteral(".missatge")}) {
                QFile f(archive + oldStem + suffix);
                ASSERT_TRUE(f.open(QIODevice::ReadWrite));
                ASSERT_TRUE(f.setFileTime(threeDaysAgo, QFileDevice::FileModificationTime));
            }
        }
        config::Configuracio.DiesArxiu = row.days;

        runOnce();

        const QStringList both = {oldStem, newStem};
        const QStringList expected = row.oldPurged ? QStringList {newStem} : both;
        EXPECT_EQ(stems(sent()), expected);
        EXPECT_EQ(stems(spam()), expected);
        EXPECT_EQ(stems(failed()), both);
        // A purged pair goes with its message file.
        EXPECT_EQ(files(sent()).size(), 2 * expected.size());
        EXPECT_EQ(files(spam()).size(), 2 * expected.size());
        EXPECT_TRUE(logged().isEmpty());
    }
}
