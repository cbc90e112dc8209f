// Whole routing runs in process, against fake POP3 and SMTP servers on loopback: a full
// run byte for byte, a run without connection or queue folder, the safety timer, an
// archive that cannot take a sent pair, the purge and the anti-spam verdict. Faults of each
// step: test_pop3_faults.cpp and test_forwarding_faults.cpp.
#include "routing/connection.h"
#include "routing/queuelock.h"
#include "support/recordingbackend.h"
#include "test_routingrun_kit.h"

#include <QDateTime>
#include <QFileInfo>
#include <cerrno>
#include <optional>

using namespace vessamo;
using test::relayedData;
using test::storedMessage;

namespace {

// The mail object reads remembered settings of the user: keep the user's own out of it.
const QTemporaryDir configHome;
[[maybe_unused]] const bool configHomeSet
    = qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));

const QByteArray kLeftOver1 = storedMessage("From: Old One <old1@example.org>", "left over 1");
const QByteArray kLeftOver2 = storedMessage("From: old2@example.org", "left over 2");
const QString kStem1 = QStringLiteral("M202401010000000001");
const QString kStem2 = QStringLiteral("M202401010000000002");
const QString kOldStem = QStringLiteral("M202301010000000001");

using RoutingRun = test::RoutingRunTest;

} // namespace

TEST_F(RoutingRun, FullRunForwardsEveryMessageByteExactAndArchivesIt)
{
    // A large message, read in many blocks, is relayed unchanged.
    QByteArray big = storedMessage("From: \"Gran, Anna\" <anna@example.org>", "big");
    for (int i = 0; big.size() < 300 * 1024; ++i)
        big += (i % 7 == 0 ? "." : "") + QByteArray::number(i) + QByteArray(70, 'x') + "\r\n";
    const QList<QByteArray> stored = {storedMessage("From: Joan Puig <jpuig@example.org>", "1"),
                                      big, storedMessage("From: maria@example.com", "3")};
    // Without a sender it cannot be forwarded: failed, without an attempt.
    const QByteArray noSender = "Received: x\r\nSubject: s\r\n\r\nFrom the body? no\r\n";
    pop1.addMessage(stored[0]);
    pop1.addMessage(stored[1]);
    pop2.addMessage(noSender);
    pop2.addMessage(stored[2]);
    // Only the first of several forward-to addresses gets the message.
    configuration.Busties[1].EnviarA = QStringLiteral("marta@example.net;pau@example.net");

    runOnce();

    // Oldest first: the order in which the pairs were queued.
    ASSERT_EQ(smtp.messages().size(), 3);
    for (qsizetype i = 0; i < 3; ++i)
        EXPECT_TRUE(smtp.messages()[i] == relayedData(stored[i])) << "message " << i;
    QList<QByteArray> envelope = smtp.commands();
    envelope.removeIf(
        [](const QByteArray &l) { return !l.startsWith("MAIL") && !l.startsWith("RCPT"); });
    EXPECT_EQ(
        envelope,
        (QList<QByteArray> {"MAIL FROM: <jpuig@example.org>", "RCPT TO: <joan@example.net>",
                            "MAIL FROM: <anna@example.org>", "RCPT TO: <joan@example.net>",
                            "MAIL FROM: <maria@example.com>", "RCPT TO: <marta@example.net>"}));
    // Each pair in its archive, as stored; nothing left behind.
    const QStringList archived = stems(sent());
    ASSERT_EQ(archived.size(), 3);
    for (qsizetype i = 0; i < 3; ++i)
        EXPECT_TRUE(bytesOf(sent() + archived[i] + QStringLiteral(".missatge")) == stored[i]);
    EXPECT_EQ(bytesOf(sent() + archived[2] + QStringLiteral(".destinatari")),
              "marta@example.net;pau@example.net");
    ASSERT_EQ(stems(failed()).size(), 1);
    EXPECT_EQ(bytesOf(failed() + stems(failed())[0] + QStringLiteral(".missatge")), noSender);
    EXPECT_EQ(files(sent()).size() + files(failed()).size(), 8);
    EXPECT_TRUE(files(queue()).isEmpty() && files(spam()).isEmpty());
    EXPECT_TRUE(pop1.messages().isEmpty() && pop2.messages().isEmpty());
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
}

// Each mailbox logs in by its own login settings, keyed by the mailbox, not its place: a
// named mechanism for one, USER/PASS for the other; with a token command, XOAUTH2 is
// refused in clear text for the token's sake (not for want of one), before the command
// runs or anything is sent, and the mailbox fails alone.
TEST_F(RoutingRun, EachMailboxLogsInByItsOwnLoginSettings)
{
    const QString command = dir.filePath(QStringLiteral("token.sh"));
    const QString marker = dir.filePath(QStringLiteral("token-asked"));
    QFile file(command);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\ntouch '" + marker.toUtf8() + "'\necho tok123\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    pop1.setSaslMechanisms("PLAIN CRAM-MD5 XOAUTH2");
    pop2.setSaslMechanisms("PLAIN CRAM-MD5 XOAUTH2");
    pop1.addMessage(storedMessage("From: joan@example.org", "1"));
    pop2.addMessage(storedMessage("From: maria@example.com", "2"));

    // Listed second, set first: the settings follow the mailbox.
    configuration.setLoginFor(configuration.Busties[1], {QStringLiteral("CRAM-MD5"), {}, {}});
    runOnce();
    const auto verbs = [](const QList<QByteArray> &commands) {
        QByteArrayList out;
        for (const QByteArray &line : commands)
            out << line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ') + 9);
        return out.join('|');
    };
    EXPECT_TRUE(verbs(pop1.commands()).startsWith("USER ana|PASS secre"))
        << verbs(pop1.commands()).toStdString();
    EXPECT_TRUE(verbs(pop2.commands()).startsWith("CAPA|AUTH CRAM-MD5|"))
        << verbs(pop2.commands()).toStdString();
    EXPECT_EQ(smtp.messages().size(), 2);

    configuration.setLoginFor(configuration.Busties[0], {QStringLiteral("XOAUTH2"), {}, command});
    pop1.addMessage(storedMessage("From: joan@example.org", "3"));
    runOnce();
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_FALSE(verbs(pop1.commands()).contains("AUTH")) << verbs(pop1.commands()).toStdString();
    EXPECT_EQ(pop1.messages().size(), 1);
    const QStringList log = logged().filter(QStringLiteral("Rebent: "));
    EXPECT_TRUE(log.size() == 1 && log[0].contains(QStringLiteral("without TLS")))
        << logged().join(u'|').toStdString();
}

TEST_F(RoutingRun, NoConnectionContactsNothingAndLeavesTheQueue)
{
    pop1.addMessage(storedMessage("From: a@example.org", "waiting"));
    configuration.Busties[1].Servidor = QStringLiteral("pop.example.net");
    configuration.Configuracio.ServidorSMTP = QStringLiteral("smtp.example.net");
    placePair(queue(), kStem1, "joan@example.net", kLeftOver1);
    connected = false;

    runOnce();

    EXPECT_EQ(checkedServers,
              (QStringList {QStringLiteral("127.0.0.1"), QStringLiteral("pop.example.net"),
                            QStringLiteral("smtp.example.net")}));
    EXPECT_EQ(pop1.connections() + smtp.connections(), 0);
    EXPECT_EQ(pop1.messages().size(), 1);
    EXPECT_EQ(stems(queue()), QStringList {kStem1});
    EXPECT_EQ(bytesOf(queue() + kStem1 + QStringLiteral(".missatge")), kLeftOver1);
    EXPECT_TRUE(files(sent()).isEmpty() && logged().isEmpty());
    // The event log stays silent; the status line says why nothing happened.
    EXPECT_EQ(view.statuses, QStringList {routing::noNetworkStatus()});
}

// An unset queue folder would otherwise make the run work in the current folder.
TEST_F(RoutingRun, NoQueueFolderReadsNoMailbox)
{
    pop1.addMessage(storedMessage("From: a@example.org", "stays"));
    configuration.Configuracio.CarpetaCua = QStringLiteral("  ");
    runOnce();
    EXPECT_EQ(pop1.connections() + smtp.connections(), 0);
    EXPECT_EQ(logged(),
              QStringList {QStringLiteral("Rebent: no s'ha configurat la carpeta de la cua")});
}

// The timer fires while a forwarding waits for the server's reply to the end of data: the
// pair stays queued (the server may hold the message: the next run decides), the queue
// pass stops before the next pair, and the purge still runs: a pair older than the days
// kept goes from the sent and spam archives with its message, never from the failed one.
TEST_F(RoutingRun, SafetyTimerDuringForwardingStopsThePassButNotThePurge)
{
    using Reply = test::FakeSmtpServer::Reply;
    smtp.script(".", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, 1000});
    placePair(queue(), kStem1, "joan@example.net", kLeftOver1);
    placePair(queue(), kStem2, "joan@example.net", kLeftOver2);
    // Noon, so that the age is three midnights whenever the test runs.
    const QDateTime threeDaysAgo(QDate::currentDate().addDays(-3), QTime(12, 0));
    for (const QString &archive : {sent(), spam(), failed()}) {
        placePair(archive, kOldStem, "joan@example.net", kLeftOver2);
        setModified(archive + kOldStem + QStringLiteral(".destinatari"), threeDaysAgo);
    }
    configuration.Configuracio.DiesArxiu = 2;

    runOnce([](routing::frmEnviarCorreu &form) { form.setSafetyTickMs(3); });

    EXPECT_EQ(logged(), QStringList {QStringLiteral("Tanquem pantalla per timeout")});
    ASSERT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(kLeftOver1));
    EXPECT_EQ(files(queue()).size(), 4);
    EXPECT_TRUE(files(sent()).isEmpty() && files(spam()).isEmpty());
    EXPECT_EQ(files(failed()).size(), 2);
}

// A message that a server accepted is never forwarded again when its archive cannot take
// it: only the move is tried again, and logged once per run.
TEST_F(RoutingRun, AcceptedMessageIsNeverForwardedAgainWhenItsArchiveFails)
{
    // A file in the archive folder's place.
    ASSERT_TRUE(QDir(sent()).removeRecursively());
    writeFile(sent().chopped(1), "");
    placePair(queue(), kStem1, "joan@example.net", kLeftOver1);

    runOnce();
    // Queued under its sent mark, for the move alone.
    EXPECT_EQ(
        files(queue()),
        (QStringList {kStem1 + QStringLiteral(".enviat"), kStem1 + QStringLiteral(".missatge")}));
    runOnce();

    EXPECT_EQ(smtp.messages().size(), 1);
    EXPECT_EQ(logged().size(), 2) << logged().join(u'|').toStdString();
    EXPECT_EQ(logged().filter(QStringLiteral("Arxivant: ")).size(), 2);
    ASSERT_TRUE(QFile::remove(sent().chopped(1)) && QDir().mkpath(sent()));

    runOnce();

    EXPECT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
    EXPECT_EQ(bytesOf(sent() + kStem1 + QStringLiteral(".missatge")), kLeftOver1);
    EXPECT_EQ(bytesOf(sent() + kStem1 + QStringLiteral(".destinatari")), "joan@example.net");
}

// A queue that turns read-only in the middle of a pass: the first acceptance that cannot be
// recorded (neither by its sent mark nor by the move into the sent archive) ends the
// forwarding for the run with one entry, so that only that message goes out twice.
TEST_F(RoutingRun, AnAcceptanceThatCannotBeRecordedStopsThePass)
{
    const QStringList stems = {kStem1, kStem2, QStringLiteral("M202401010000000003"),
                               QStringLiteral("M202401010000000004")};
    for (const QString &stem : stems)
        placePair(queue(), stem, "joan@example.net", kLeftOver1);
    test::RecordingBackend backend(dir.path());
    backend.faults = {{"^(create|rename|remove) Cua/", EROFS}};
    {
        const routing::ScopedQueueBackend use(backend);
        runOnce();
    }
    EXPECT_EQ(smtp.messages().size(), 1);
    ASSERT_EQ(logged().size(), 1) << logged().join(u'|').toStdString();
    EXPECT_TRUE(
        logged()[0].startsWith(QStringLiteral("Enviant: no s'ha pogut marcar com a enviat")));
    EXPECT_EQ(RoutingRunTest::stems(queue()), stems);

    runOnce();
    EXPECT_EQ(smtp.messages().size(), 5);
    EXPECT_EQ(RoutingRunTest::stems(sent()), stems);
    EXPECT_TRUE(files(queue()).isEmpty());
}

// A crash between the two renames of a move leaves the message alone in its archive and its
// sent mark in the queue (here: the forward-to file cannot follow, nor the message come
// back). The next run moves the mark after the message; nothing goes out twice.
TEST_F(RoutingRun, AMoveCutBetweenItsRenamesIsCompletedByTheNextRun)
{
    placePair(queue(), kStem1, "joan@example.net", kLeftOver1);
    test::RecordingBackend backend(dir.path());
    backend.faults
        = {{"^rename Cua/\\S+\\.enviat SiEnviats/", EIO}, {"^rename SiEnviats/\\S+ Cua/", EIO}};
    {
        const routing::ScopedQueueBackend use(backend);
        runOnce();
    }
    EXPECT_EQ(files(queue()), QStringList {kStem1 + QStringLiteral(".enviat")});
    EXPECT_EQ(files(sent()), QStringList {kStem1 + QStringLiteral(".missatge")});

    runOnce();

    EXPECT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
    EXPECT_EQ(bytesOf(sent() + kStem1 + QStringLiteral(".destinatari")), "joan@example.net");
    EXPECT_EQ(bytesOf(sent() + kStem1 + QStringLiteral(".missatge")), kLeftOver1);
}

// Another router holds the queue: the run reads no mailbox, forwards nothing and leaves the
// other's download in progress alone; the status line says why, the event log once until a
// run of this program holds the queue again. Once it is free, the next run does the work.
TEST_F(RoutingRun, AQueueHeldByAnotherRouterIsLeftToIt)
{
    runOnce(); // nothing to do: holds the queue, so the next refusal is logged
    pop1.addMessage(storedMessage("From: a@example.org", "new"));
    placePair(queue(), kStem1, "joan@example.net", kLeftOver1);
    writeFile(queue() + kStem2 + QStringLiteral(".missatge.part"), "half");
    std::optional<routing::QueueLock> other(std::in_place, queue());
    ASSERT_TRUE(other->held());
    view.statuses.clear();
    const int connections = pop1.connections() + pop2.connections() + smtp.connections();
    runOnce();
    runOnce();
    EXPECT_EQ(pop1.connections() + pop2.connections() + smtp.connections(), connections);
    EXPECT_EQ(view.statuses.filter(QStringLiteral("la fa servir un altre procés")).size(), 2);
    EXPECT_EQ(logged().size(), 1) << logged().join(u'|').toStdString();
    EXPECT_TRUE(QFileInfo::exists(queue() + kStem2 + QStringLiteral(".missatge.part")));

    other.reset();
    runOnce();
    EXPECT_EQ(smtp.messages().size(), 2);
    EXPECT_FALSE(QFileInfo::exists(queue() + kStem2 + QStringLiteral(".missatge.part")));
    EXPECT_TRUE(files(queue()).isEmpty()) << files(queue()).join(u' ').toStdString();
    other.emplace(queue());
    runOnce();
    EXPECT_EQ(logged().size(), 2);
}

// The anti-spam program reads the queued message and writes its verdict: spam goes to its
// archive, unforwarded.
TEST_F(RoutingRun, SpamProgramVerdictDecidesTheArchive)
{
    test::useSpamScript(configuration, dir.path(),
                        "grep -q PILLS \"$1\" && printf 'score 9.1\\nX-Spam: YES' > \"$2\"\n");
    const QByteArray junk = storedMessage("From: seller@example.biz", "CHEAP PILLS");
    const QByteArray clean = storedMessage("From: friend@example.org", "lunch");
    pop1.addMessage(junk);
    pop2.addMessage(clean);

    runOnce();

    const QStringList spammed = stems(spam());
    ASSERT_EQ(spammed.size(), 1);
    EXPECT_TRUE(bytesOf(spam() + spammed[0] + QStringLiteral(".missatge")) == junk);
    ASSERT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(clean));
    EXPECT_EQ(stems(sent()).size(), 1);
    EXPECT_TRUE(files(queue()).isEmpty() && logged().isEmpty());
}
