// The forwarding and spam steps of a whole run: the envelope taken from each From: form,
// failed attempts and retries, messages that cannot be forwarded, several forward-to
// addresses, and the anti-spam program's verdict deciding between forwarding and the spam
// archive.
#include "routing/queue.h"
#include "test_routingrun_kit.h"

using namespace vessamo;
using test::envelopes;
using test::relayedData;
using test::storedMessage;
using Reply = test::FakeSmtpServer::Reply;

namespace {

using RoutingForward = test::RoutingRunTest;

// Downloaded now: a pair that stays queued is far from the queue lifetime.
const QString kStem1 = routing::stemFor(QDateTime::currentDateTime(), 1);

} // namespace

TEST_F(RoutingForward, EnvelopeSenderComesFromEachFromForm)
{
    struct Row
    {
        QByteArray fromLine;
        QByteArray mailFrom;
    };
    const Row rows[] = {
        {"From: Joan Puig <joan@example.org>", "MAIL FROM: <joan@example.org>"},
        {"From: \"Puig, Joan\" <puig@example.org>", "MAIL FROM: <puig@example.org>"},
        {"From: ana@example.org (Ana)", "MAIL FROM: <ana@example.org>"},
        {"From: bare@example.org", "MAIL FROM: <bare@example.org>"},
        {"FROM: upper@example.org", "MAIL FROM: <upper@example.org>"},
    };
    QList<QByteArray> expectedData;
    for (const Row &row : rows) {
        const QByteArray message = storedMessage(row.fromLine, row.mailFrom);
        pop1.addMessage(message);
        expectedData << relayedData(message);
    }

    runOnce();

    EXPECT_EQ(smtp.messages(), expectedData);
    const QList<test::Envelope> env = envelopes(smtp.commands());
    ASSERT_EQ(env.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(env[qsizetype(i)].mailFrom, rows[i].mailFrom);
        EXPECT_EQ(env[qsizetype(i)].rcptTo, QList<QByteArray> {"RCPT TO: <joan@example.net>"});
    }
    EXPECT_EQ(stems(sent()).size(), qsizetype(std::size(rows)));
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
}

// Each failed attempt is logged and, while the failures may pass, the next one starts at
// once, up to five; after five the pair stays queued for the next run.
TEST_F(RoutingForward, FailedAttemptsAreRetriedUpToFive)
{
    struct Row
    {
        const char *name;
        QList<std::pair<QByteArray, QByteArray>> failures; // step, reply
        bool sent;
    };
    const Row rows[] = {
        {"three failures then success",
         {{"MAIL", "451 4.3.0 Try again later\r\n"},
          {"RCPT", "450 4.2.1 Mailbox busy\r\n"},
          {".", "452 4.3.1 Insufficient storage\r\n"}},
         true},
        {"five failures",
         // In the order the attempts meet them: a scripted step fails its next occurrence.
         {{"GREETING", "554 5.7.1 Go away\r\n"},
          {"MAIL", "421 4.3.2 Busy\r\n"},
          {"MAIL", "421 4.3.2 Busy\r\n"},
          {"RCPT", "450 4.2.1 Mailbox busy\r\n"},
          {"DATA", "451 4.3.0 No\r\n"}},
         false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::FakeSmtpServer server;
        config::Configuracio.PortSMTP = static_cast<qint16>(server.port());
        for (const auto &[step, reply] : row.failures)
            server.script(step, Reply::text(reply));
        QFile::remove(logPath);
        const QByteArray message = storedMessage("From: Pau <pau@example.org>", row.name);
        placePair(queue(), kStem1, "joan@example.net", message);

        runOnce();

        const QStringList log = logged();
        EXPECT_EQ(log.size(), row.failures.size()) << log.join(u'|').toStdString();
        for (qsizetype i = 0; i < log.size() && i < row.failures.size(); ++i) {
            EXPECT_TRUE(log[i].startsWith(QStringLiteral("Enviant: "))) << log[i].toStdString();
            // The server's own refusal is in the explanation.
            EXPECT_TRUE(log[i].contains(QString::fromLatin1(row.failures[i].second.trimmed())))
                << log[i].toStdString();
        }
        const int attempts = int(row.failures.size()) + (row.sent ? 1 : 0);
        EXPECT_EQ(server.connections(), attempts);
        if (row.sent) {
            ASSERT_FALSE(server.messages().isEmpty());
            EXPECT_TRUE(server.messages().last() == relayedData(message));
        }
        const QString archive = row.sent ? sent() : queue();
        const QString other = row.sent ? queue() : sent();
        EXPECT_EQ(stems(archive), QStringList {kStem1});
        EXPECT_TRUE(bytesOf(archive + kStem1 + QStringLiteral(".missatge")) == message);
        EXPECT_TRUE(files(other).isEmpty());
        EXPECT_TRUE(files(failed()).isEmpty());
        for (const QString &name : files(archive))
            QFile::remove(archive + name);
    }
}

// Messages that cannot be forwarded go to the failed archive without an attempt.
TEST_F(RoutingForward, NoSenderOrNoForwardToMeansNoAttempt)
{
    const QByteArray noFrom = "Received: x\r\nSubject: nobody\r\n\r\nFrom the body? no\r\n";
    const QByteArray mixedCase = storedMessage("FrOm: a@example.org", "mixed case");
    const QByteArray noForwardTo = storedMessage("From: a@example.org", "nowhere to go");
    pop1.addMessage(noFrom);
    pop1.addMessage(mixedCase);
    config::Busties[1].EnviarA.clear();
    pop2.addMessage(noForwardTo);

    runOnce();

    EXPECT_EQ(smtp.connections(), 0);
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
    const QStringList archived = stems(failed());
    ASSERT_EQ(archived.size(), 3);
    const QList<QByteArray> stored = {noFrom, mixedCase, noForwardTo};
    for (qsizetype i = 0; i < 3; ++i)
        EXPECT_TRUE(bytesOf(failed() + archived[i] + QStringLiteral(".missatge")) == stored[i]);
    // The empty forward-to text was stored as it was configured.
    EXPECT_EQ(bytesOf(failed() + archived[2] + QStringLiteral(".destinatari")), QByteArray());
    EXPECT_TRUE(files(sent()).isEmpty());
    EXPECT_TRUE(files(queue()).isEmpty());
    EXPECT_TRUE(pop1.messages().isEmpty());
}

TEST_F(RoutingForward, OnlyTheFirstOfSeveralForwardToAddressesGetsTheMessage)
{
    config::Busties[0].EnviarA = QStringLiteral("joan@example.net;marta@example.net");
    const QByteArray message = storedMessage("From: a@example.org", "two addresses");
    pop1.addMessage(message);

    runOnce();

    const QList<test::Envelope> env = envelopes(smtp.commands());
    ASSERT_EQ(env.size(), 1);
    EXPECT_EQ(env[0].rcptTo, QList<QByteArray> {"RCPT TO: <joan@example.net>"});
    ASSERT_EQ(smtp.messages().size(), 1);
    EXPECT_TRUE(smtp.messages()[0] == relayedData(message));
    const QStringList archived = stems(sent());
    ASSERT_EQ(archived.size(), 1);
    EXPECT_EQ(bytesOf(sent() + archived[0] + QStringLiteral(".destinatari")),
              "joan@example.net;marta@example.net");
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
}

// The anti-spam program reads the queued message and writes its verdict: the mark in
// exact case is spam, the same words in another case are not.
TEST_F(RoutingForward, SpamProgramVerdictDecidesTheArchive)
{
    const QString script = dir.filePath(QStringLiteral("filter.sh"));
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("if grep -q PILLS \"$1\"; then printf 'score 9.1\\nX-Spam: YES' > \"$2\";\n"
            "else printf 'x-spam: yes' > \"$2\"; fi\n");
    f.close();
    config::Configuracio.FiltreSpam = -1;
    config::Configuracio.ProgramaSpam
        = QStringLiteral("/bin/sh ") + script + QStringLiteral(" %i %o");
    config::Configuracio.MarcaSpam = QStringLiteral("X-Spam: YES");
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
    EXPECT_EQ(envelopes(smtp.commands()).size(), 1);
    EXPECT_EQ(stems(sent()).size(), 1);
    EXPECT_TRUE(files(queue()).isEmpty());
    EXPECT_TRUE(view.labels.contains(QStringLiteral("Comprovant si és spam")));
    EXPECT_TRUE(logged().isEmpty()) << logged().join(u'|').toStdString();
}
