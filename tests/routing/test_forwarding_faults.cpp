// Forwarding under SMTP faults, through a whole run: a temporary failure is retried up to
// five times and then leaves the pair queued for the next run, a permanent refusal files
// it as failed after one attempt, a failure after the end of data is never retried in the
// same run, an accepted message counts as sent whatever the goodbye brings, a pair queued
// too long goes to the failed archive, and a stop ends the forwarding at once.
#include "routing/queue.h"
#include "test_routingrun_kit.h"

#include <QElapsedTimer>
#include <QTimer>

using namespace vessamo;
using test::storedMessage;
using Reply = test::FakeSmtpServer::Reply;

namespace {

using ForwardingFaults = test::RoutingRunTest;

// Downloaded now, and six days ago: past the queue lifetime.
const QString kStem = routing::stemFor(QDateTime::currentDateTime(), 1);
const QString kOldStem = routing::stemFor(QDateTime::currentDateTime().addDays(-6), 1);

TEST_F(ForwardingFaults, EachFailureClassDecidesWhereThePairGoes)
{
    struct Row
    {
        const char *name;
        QByteArray step; // "REFUSED" for no server at all
        Reply reply;
        int times; // the step fails this many times in a row
        int connections;
        int deliveries;
        const char *folder;
        int logEntries;
        bool old = false; // the stem is six days old
        int firstAttemptDaysAgo = -1; // recorded in an earlier boot; -1: none
    };
    const Row rows[] = {
        {"refused connection", "REFUSED", {}, 0, 0, 0, "Cua", 5},
        {"451 to MAIL every time", "MAIL", Reply::text("451 4.3.0 later\r\n"), 5, 5, 0, "Cua", 5},
        {"554 greeting every time", "GREETING", Reply::text("554 5.3.2 no\r\n"), 5, 5, 0, "Cua", 5},
        {"450 to RCPT twice, then sent", "RCPT", Reply::text("450 4.2.1 busy\r\n"), 2, 3, 1,
         "SiEnviats", 2},
        {"550 to RCPT", "RCPT", Reply::text("550 5.1.1 unknown\r\n"), 1, 1, 0, "NoEnviats", 1},
        {"552 to end of data", ".", Reply::text("552 5.3.4 too big\r\n"), 1, 1, 1, "NoEnviats", 1},
        {"drop after end of data", ".", Reply::drop(), 1, 1, 1, "Cua", 1},
        {"250 then close", ".", Reply::thenClose("250 2.0.0 queued\r\n"), 1, 1, 1, "SiEnviats", 0},
        {"refused QUIT", "QUIT", Reply::text("554 5.0.0 no\r\n"), 1, 1, 1, "SiEnviats", 0},
        // Five failures and one entry that says the message waited too long.
        {"refused, first try 6 days ago", "REFUSED", {}, 0, 0, 0, "NoEnviats", 6, true, 6},
        // Named by a clock that was slow: its first attempt is now, and it waits.
        {"refused, stem 6 days old", "REFUSED", {}, 0, 0, 0, "Cua", 5, true},
        {"refused, first try 4 days ago", "REFUSED", {}, 0, 0, 0, "Cua", 5, true, 4},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<test::FakeSmtpServer> server(std::in_place);
        configuration.Configuracio.PortSMTP = static_cast<qint16>(server->port());
        if (row.step == "REFUSED")
            server.reset();
        for (int i = 0; i < row.times; ++i)
            server->script(row.step, row.reply);
        QFile::remove(logPath);
        const QByteArray message = storedMessage("From: Pau <pau@example.org>", row.name);
        const QString stem = row.old ? kOldStem : kStem;
        placePair(queue(), stem, "joan@example.net", message);
        if (row.firstAttemptDaysAgo >= 0) {
            const QDateTime first
                = QDateTime::currentDateTimeUtc().addDays(-row.firstAttemptDaysAgo);
            writeFile(queue() + stem + routing::kFirstAttemptSuffix,
                      QByteArray::number(first.toMSecsSinceEpoch()) + " earlier-boot 0\n");
        }

        runOnce();

        const QStringList log = logged().filter(QStringLiteral("Enviant: "));
        EXPECT_EQ(log.size(), row.logEntries) << logged().join(u'|').toStdString();
        if (server) {
            EXPECT_EQ(server->connections(), row.connections);
            EXPECT_EQ(server->messages().size(), row.deliveries);
            // The server's own words explain each failure.
            for (const QString &text : log)
                EXPECT_TRUE(row.reply.fragments.isEmpty()
                            || text.contains(QString::fromLatin1(row.reply.fragments[0].trimmed())))
                    << text.toStdString();
        }
        const QString where = folder(row.folder);
        EXPECT_EQ(stems(where), QStringList {stem});
        EXPECT_TRUE(bytesOf(where + stem + QStringLiteral(".missatge")) == message);
        for (const QString &other : {queue(), sent(), failed()})
            EXPECT_TRUE(other == where || files(other).isEmpty()) << other.toStdString();
        for (const QString &name : files(where))
            QFile::remove(where + name);
    }
}

// A stop request during a wait on a silent server ends the forwarding at once; the pair
// stays queued and no further attempt is made.
TEST_F(ForwardingFaults, StopEndsTheForwardingAtOnce)
{
    smtp.script("MAIL", Reply::silence());
    placePair(queue(), kStem, "joan@example.net", storedMessage("From: p@example.org", "stop"));
    QElapsedTimer clock;
    clock.start();
    runOnce([&](routing::frmEnviarCorreu &form) {
        // The stop comes with the MAIL command the server will never answer.
        smtp.setCommandHook([&form](const QByteArray &line) {
            if (line.startsWith("MAIL"))
                form.context().abort.request();
        });
    });
    // Far below the 60-second reply time-out of a single attempt.
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_EQ(smtp.connections(), 1);
    EXPECT_EQ(stems(queue()), QStringList {kStem});
    EXPECT_TRUE(logged().filter(QStringLiteral("Enviant: ")).isEmpty());
}

// A stop that comes once the end of data is out waits for the server's reply, for the
// stop's grace at most (30 safety ticks): an acceptance that comes in time is recorded and
// the pair archived as sent; a server that stays silent is left, and the pair stays queued
// for the next run to decide.
TEST_F(ForwardingFaults, StopAfterTheEndOfDataWaitsForItsReply)
{
    const struct
    {
        const char *name;
        Reply reply;
        const char *folder;
    } rows[] = {
        {"250 0.3 s late", Reply {Reply::Send, {"250 2.0.0 queued\r\n"}, 0, 300}, "SiEnviats"},
        {"no reply", Reply::silence(), "Cua"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        test::FakeSmtpServer server;
        configuration.Configuracio.PortSMTP = static_cast<qint16>(server.port());
        server.script(".", row.reply);
        placePair(queue(), kStem, "joan@example.net", storedMessage("From: p@example.org", "late"));
        view.statuses.clear();
        runOnce([&](routing::frmEnviarCorreu &form) {
            // Grace: 30 ticks of 30 ms. The stop comes 0.1 s after DATA, the message long out.
            form.setSafetyTickMs(30);
            server.setCommandHook([&form](const QByteArray &line) {
                if (line == "DATA")
                    QTimer::singleShot(100, &form, [&form] { form.context().abort.request(); });
            });
        });
        EXPECT_EQ(server.messages().size(), 1);
        EXPECT_EQ(server.connections(), 1);
        EXPECT_EQ(view.statuses.filter(QStringLiteral("Stopping: waiting")).size(), 1);
        EXPECT_EQ(stems(folder(row.folder)), QStringList {kStem});
        EXPECT_TRUE(logged().filter(QStringLiteral("Enviant: ")).isEmpty())
            << logged().join(u'|').toStdString();
        for (const QString &name : files(folder(row.folder)))
            QFile::remove(folder(row.folder) + name);
    }
}

// The acceptance is recorded in the queue as soon as the server's reply to the end of data
// arrives, before the goodbye: a crash during QUIT must not send the message again.
TEST_F(ForwardingFaults, AcceptanceIsRecordedBeforeTheGoodbye)
{
    placePair(queue(), kStem, "joan@example.net", storedMessage("From: p@example.org", "mark"));
    int markedAtQuit = -1;
    smtp.setCommandHook([&](const QByteArray &line) {
        if (line == "QUIT")
            markedAtQuit = QFile::exists(queue() + kStem + QStringLiteral(".enviat"));
    });
    runOnce();
    EXPECT_EQ(markedAtQuit, 1);
    EXPECT_EQ(stems(sent()), QStringList {kStem});
}

} // namespace

// The SMTP login of a run follows the configuration's login settings: classic is AUTH
// LOGIN as ever, a named mechanism is used as named, and a token source is asked at the
// login (in clear text, where no token may go, nothing is sent and the pair waits).
TEST_F(ForwardingFaults, TheSmtpLoginFollowsTheLoginSettings)
{
    const QString marker = dir.filePath(QStringLiteral("token-asked"));
    const QString command = dir.filePath(QStringLiteral("token.sh"));
    writeFile(command, "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\necho tok123\n");
    QFile::setPermissions(command, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    struct Row
    {
        const char *name;
        config::LoginSettings login;
        QByteArray authLine; // the AUTH command the server must see; empty: none
        const char *folder;
        bool tokenAsked;
    };
    const Row rows[] = {
        {"classic", {}, "AUTH LOGIN", "SiEnviats", false},
        {"PLAIN named", {QStringLiteral("PLAIN"), {}, {}}, "AUTH PLAIN AHVzZXIAcGFzcw==",
         "SiEnviats", false},
        {"auto with a token command, in clear text", {QStringLiteral("auto"), {}, command}, {},
         "Cua", true},
    };
    configuration.Configuracio.AutentificacioSMTP = 1;
    configuration.Configuracio.UsuariSMTP = QStringLiteral("user");
    configuration.Configuracio.ContrassenyaSMTP = QStringLiteral("pass");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(marker);
        test::FakeSmtpServer server;
        if (row.login.method == u"PLAIN")
            server.script("AUTH", Reply::text("235 2.7.0 ok\r\n"));
        configuration.Configuracio.PortSMTP = static_cast<qint16>(server.port());
        configuration.smtpLogin = row.login;
        const QByteArray message = storedMessage("From: Pau <pau@example.org>", row.name);
        placePair(queue(), kStem, "joan@example.net", message);

        runOnce();

        QByteArrayList auth;
        for (const QByteArray &line : server.commands())
            if (line.startsWith("AUTH"))
                auth << line;
        if (row.authLine.isEmpty())
            EXPECT_TRUE(auth.isEmpty()) << auth.join('|').toStdString();
        else
            EXPECT_TRUE(!auth.isEmpty() && auth.first() == row.authLine)
                << auth.join('|').toStdString();
        EXPECT_EQ(QFile::exists(marker), row.tokenAsked);
        const QString where = folder(row.folder);
        EXPECT_EQ(stems(where), QStringList {kStem});
        for (const QString &name : files(where))
            QFile::remove(where + name);
    }
}

// A token source for the SMTP login that fails in a run is one event-log entry for the whole
// run: asked once, no server contacted, and every queued pair stays queued for the next run
// instead of five attempts each.
TEST_F(ForwardingFaults, AFailingSmtpTokenSourceIsOneEntryPerRun)
{
    const QString counter = dir.filePath(QStringLiteral("token-asked"));
    const QString command = dir.filePath(QStringLiteral("token.sh"));
    writeFile(command,
              "#!/bin/sh\necho x >> '" + counter.toUtf8() + "'\necho refused >&2\nexit 1\n");
    QFile::setPermissions(command, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    test::FakeSmtpServer server;
    configuration.Configuracio.PortSMTP = static_cast<qint16>(server.port());
    configuration.Configuracio.AutentificacioSMTP = 1;
    configuration.Configuracio.UsuariSMTP = QStringLiteral("user");
    configuration.smtpLogin = {QStringLiteral("auto"), {}, command};
    QStringList queued;
    for (int i = 1; i <= 3; ++i) {
        queued << routing::stemFor(QDateTime::currentDateTime(), i);
        placePair(queue(), queued.last(), "joan@example.net",
                  storedMessage("From: Pau <pau@example.org>", "token"));
    }

    runOnce();

    const QStringList log = logged().filter(QStringLiteral("Enviant: "));
    EXPECT_EQ(log.size(), 1) << logged().join(u'|').toStdString();
    EXPECT_TRUE(log.value(0).contains(QStringLiteral("No access token for the SMTP login")))
        << log.value(0).toStdString();
    QFile asked(counter);
    ASSERT_TRUE(asked.open(QIODevice::ReadOnly));
    EXPECT_EQ(asked.readAll(), QByteArray("x\n"));
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(stems(queue()), queued);
}
