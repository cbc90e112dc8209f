// Relay of a stored message (Enruta) through a real loopback socket: the exact bytes on
// the wire, failures at every step, time-outs, keep-open sessions, servers that drop the
// connection, split replies, unsafe addresses and line ends, release of the object from
// its own events, the processor use of a wait, and a 50 MB message.
#include "smtptestkit.h"

#include <QElapsedTimer>
#include <sys/resource.h>

using namespace vessamo;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

namespace {

const QString kTimeoutText
    = QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request\r\n");

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

using SmtpRelay = test::SmtpTest;

TEST_F(SmtpRelay, ExactByteStreamAndEvents)
{
    mail->Enruta();
    EXPECT_EQ(server.received(),
              QByteArray("HELO example.org\r\n"
                         "MAIL FROM: <ana@example.org>\r\n"
                         "RCPT TO: <joan@example.net>\r\n"
                         "DATA\r\n"
                         "Subject: x\r\n\r\nhello\r\n"
                         ".\r\n"
                         "QUIT\r\n"));
    EXPECT_EQ(events->statuses,
              (QStringList {QStringLiteral("Connecting to SMTP Server (127.0.0.1)..."),
                            QStringLiteral("Initializing Communications..."),
                            QStringLiteral("Sending Sender Information..."),
                            QStringLiteral("Sending Recipient Information..."),
                            QStringLiteral("Sending Message..."),
                            QStringLiteral("Transmission Complete..."),
                            QStringLiteral("Closing Connection...")}));
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(events->failures.isEmpty());
    ASSERT_FALSE(events->progress.isEmpty());
    EXPECT_EQ(events->progress.last(), 100);
    EXPECT_EQ(socket.State(), 0);
}

TEST_F(SmtpRelay, DotsFoldingAndEightBitBytesAsPrepared)
{
    const QByteArray longLine(2500, 'w');
    mail->SetMessage("From: a@b.c\r\n.\r\n..x\r\n\xe9t\xe9 \xff\r\n" + longLine + "\r\nend");
    mail->Enruta();
    ASSERT_EQ(server.messages().size(), 1);
    EXPECT_EQ(server.messages()[0],
              "From: a@b.c\r\n..\r\n...x\r\n\xe9t\xe9 \xff\r\n" + QByteArray(998, 'w') + "\r\n"
                  + QByteArray(998, 'w') + "\r\n" + QByteArray(504, 'w') + "\r\nend\r\n");
}

// Bare CR or LF in a stored message never reaches the server as such: a receiver that
// reads line ends loosely would otherwise end the data early and read the rest as commands.
TEST_F(SmtpRelay, BareLineEndsCannotSmuggleCommands)
{
    struct Row
    {
        QByteArray message;
        QByteArray data;
    };
    const Row rows[] = {
        {"a\n.\nMAIL FROM:<evil@x.y>\r\nb", "a\r\n..\r\nMAIL FROM:<evil@x.y>\r\nb\r\n"},
        {"a\r.\rQUIT\r\nb", "a\r\n..\r\nQUIT\r\nb\r\n"},
        {"x\r\n.\n\r\n", "x\r\n..\r\n\r\n"},
        {"only\rcarriage\rreturns", "only\r\ncarriage\r\nreturns\r\n"},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetMessage(row.message);
        mail->Enruta();
        ASSERT_EQ(fresh.messages().size(), 1);
        EXPECT_EQ(fresh.messages()[0], row.data);
        // Nothing of the message was taken for a command.
        EXPECT_EQ(fresh.commands().size(), 5); // HELO MAIL RCPT DATA QUIT
        EXPECT_EQ(events->successes, 1);
    }
}

TEST_F(SmtpRelay, NegativeReplyAtEachStepIsReportedOnce)
{
    struct Row
    {
        QByteArray step;
        QByteArray reply;
    };
    const Row rows[] = {
        {"MAIL", "550 5.1.0 Sender rejected\r\n"}, {"RCPT", "554 5.7.1 Relay access denied\r\n"},
        {"DATA", "451 4.3.0 Try later\r\n"},       {".", "552 5.3.4 Message too big\r\n"},
        {"HELO", "501-Syntax\r\n501 error\r\n"},   {"GREETING", "421 4.3.2 Busy\r\n"},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        fresh.script(row.step, Reply::text(row.reply));
        make();
        mail->SetSMTPPort(fresh.port());
        // An earlier entry of the error list goes with the report.
        mail->SetRecipient(QStringLiteral("joan@example.net;nobody"));
        mail->Enruta();
        EXPECT_EQ(events->failures,
                  QStringList {QStringLiteral("Missing or Invalid Recipient E-mail Address\r\n")
                               + QString::fromLatin1(row.reply) + QStringLiteral("\r\n")})
            << row.step.constData();
        EXPECT_EQ(events->successes, 0) << row.step.constData();
        EXPECT_TRUE(mail->ErrorList().isEmpty());
        // The session is closed with QUIT while the socket is open.
        EXPECT_EQ(fresh.commands().last(), QByteArray("QUIT")) << row.step.constData();
        EXPECT_EQ(socket.State(), 0);
    }
}

TEST_F(SmtpRelay, SilentServerTimesOutOnceAtEachStep)
{
    for (const QByteArray &step : {QByteArray("MAIL"), QByteArray("RCPT"), QByteArray("DATA"),
                                   QByteArray("."), QByteArray("HELO")}) {
        FakeSmtpServer fresh;
        fresh.script(step, Reply::silence());
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetMessageTimeout(1);
        mail->SetConnectTimeout(1);
        mail->Enruta();
        EXPECT_EQ(events->failures, QStringList {kTimeoutText}) << step.constData();
        EXPECT_EQ(events->successes, 0);
    }
}

TEST_F(SmtpRelay, EmptyRecipientListFailsAfterMailFrom)
{
    mail->SetRecipient(QString());
    mail->Enruta();
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].endsWith(QStringLiteral("Subscript out of range\r\n")))
        << events->failures[0].toStdString();
    QList<QByteArray> verbs;
    for (const QByteArray &command : server.commands())
        verbs << command.left(4);
    EXPECT_EQ(verbs, (QList<QByteArray> {"HELO", "MAIL", "QUIT"}));
}

TEST_F(SmtpRelay, OnlyTheFirstRecipientIsUsed)
{
    mail->SetRecipient(QStringLiteral("joan@example.net;pere@example.net"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(server.commands().contains("RCPT TO: <joan@example.net>"));
    EXPECT_FALSE(server.received().contains("pere@"));
}

TEST_F(SmtpRelay, KeepOpenSendsTwoMessagesOnOneSession)
{
    ASSERT_TRUE(mail->Connect());
    mail->Enruta();
    mail->SetMessage(QByteArrayLiteral("second\r\n"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 2);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.messages().size(), 2);
    EXPECT_FALSE(server.commands().contains("QUIT"));
    mail->Disconnect();
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
    EXPECT_EQ(socket.State(), 0);
}

// A server that drops the connection is a failure reported once, at once: never a
// success, never a wait for the time-out.
TEST_F(SmtpRelay, ServerDropsTheConnectionAtEachStep)
{
    for (const QByteArray &step : {QByteArray("GREETING"), QByteArray("HELO"), QByteArray("MAIL"),
                                   QByteArray("RCPT"), QByteArray("DATA"), QByteArray(".")}) {
        FakeSmtpServer fresh;
        fresh.script(step, Reply::drop());
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetMessageTimeout(60);
        mail->SetConnectTimeout(60);
        mail->Enruta();
        EXPECT_EQ(events->successes, 0) << step.constData();
        ASSERT_EQ(events->failures.size(), 1) << step.constData();
        EXPECT_NE(events->failures[0], kTimeoutText) << step.constData();
    }
}

TEST_F(SmtpRelay, RepliesSplitIntoFragmentsAreJudgedWhole)
{
    server.script("GREETING", Reply::split({"22", "0 fake ready\r\n"}, 20));
    server.script("HELO", Reply::split({"2", "50 ok\r", "\n"}, 20));
    // "25" alone would be a failure if it were judged.
    server.script("MAIL", Reply::split({"25", "0 OK\r\n"}, 30));
    server.script("RCPT", Reply::split({"250-first\r\n250", " last\r\n"}, 30));
    server.script("DATA", Reply::split({"3", "5", "4 go\r\n"}, 10));
    server.script(".", Reply::split({"250 ", "queued\r\n"}, 30));
    mail->Enruta();
    EXPECT_TRUE(events->failures.isEmpty()) << events->failures.join(u'|').toStdString();
    EXPECT_EQ(events->successes, 1);
}

TEST_F(SmtpRelay, EhloReplySplitStillAdvertisesAuth)
{
    server.script("EHLO", Reply::split({"250-fake\r\n25", "0 AUTH LOG", "IN\r\n"}, 20));
    logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(server.commands().contains("AUTH Login"));
}

TEST_F(SmtpRelay, LineBreaksInAddressesAreRefusedBeforeAnyTraffic)
{
    struct Row
    {
        const char *from;
        const char *recipient;
    };
    const Row rows[] = {
        {"ana@example.org\r\nRCPT TO:<x@y.z>", "joan@example.net"},
        {"ana@example.org\n", "joan@example.net"},
        {"ana@example.org", "joan@example.net> NOTIFY=NEVER"},
        {"a<b@example.org", "joan@example.net"},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetFrom(QString::fromLatin1(row.from));
        mail->SetRecipient(QString::fromLatin1(row.recipient));
        mail->Enruta();
        ASSERT_EQ(events->failures.size(), 1) << row.from;
        EXPECT_TRUE(events->failures[0].contains(u"Invalid character")) << row.from;
        EXPECT_EQ(fresh.connections(), 0) << row.from;
    }
}

TEST_F(SmtpRelay, OwnerMayReleaseTheObjectFromAnyEvent)
{
    struct Row
    {
        const char *name;
        QByteArray failingStep; // empty: a successful relay
        int releaseOn; // 0 status, 1 failure, 2 progress, 3 success
    };
    const Row rows[] = {
        {"release on failure from the reply handler", "MAIL", 1},
        {"release on failure at the end of data", ".", 1},
        {"release on a status", "", 0},
        {"release on progress", "", 2},
        {"release on success", "", 3},
        {"release on the drop's failure", "DROP", 1},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        if (row.failingStep == "DROP")
            fresh.script("RCPT", Reply::drop());
        else if (!row.failingStep.isEmpty())
            fresh.script(row.failingStep, Reply::text("550 no\r\n"));
        make();
        mail->SetSMTPPort(fresh.port());
        int raised = 0;
        auto release = [&] {
            ++raised;
            mail.reset();
        };
        auto *object = mail.get();
        if (row.releaseOn == 0)
            QObject::connect(object, &mail::clsEnviarCorreu::Status, [&](const QString &text) {
                if (text == QStringLiteral("Sending Recipient Information..."))
                    release();
            });
        else if (row.releaseOn == 1)
            QObject::connect(object, &mail::clsEnviarCorreu::SendFailed, release);
        else if (row.releaseOn == 2)
            QObject::connect(object, &mail::clsEnviarCorreu::Progress, release);
        else
            QObject::connect(object, &mail::clsEnviarCorreu::SendSuccesful, release);
        object->Enruta();
        EXPECT_EQ(raised, 1) << row.name;
        EXPECT_FALSE(mail) << row.name;
        // The socket control survives and can serve the next object.
        make();
        FakeSmtpServer next;
        mail->SetSMTPPort(next.port());
        mail->Enruta();
        EXPECT_EQ(events->successes, 1) << row.name;
    }
}

TEST_F(SmtpRelay, WaitingUsesNoProcessorTime)
{
    server.script("MAIL", Reply::silence());
    mail->SetMessageTimeout(5);
    const double before = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    mail->Enruta();
    const double used = cpuSeconds() - before;
    EXPECT_EQ(events->failures, QStringList {kTimeoutText});
    EXPECT_GE(clock.elapsed(), 4900);
    std::printf("CPU time of a 5-second wait on a silent server: %.3f s\n", used);
    EXPECT_LT(used, 0.2);
}

TEST_F(SmtpRelay, FiftyMegabyteMessageByteExact)
{
    // Lines of 100 octets with CR LF, every byte value in them but CR and LF.
    QByteArray message;
    message.reserve(50 * 1024 * 1024 + 200);
    message += "From: a@b.c\r\nSubject: big\r\n\r\n";
    QByteArray line(100, 'x');
    int n = 0;
    while (message.size() < 50 * 1024 * 1024) {
        for (int i = 0; i < 98; ++i) {
            char c = char((n * 31 + i * 7) & 0xff);
            if (c == '\r' || c == '\n' || (i == 0 && c == '.'))
                c = 'y';
            line[i] = c;
        }
        line[98] = '\r';
        line[99] = '\n';
        message += line;
        ++n;
    }
    mail->SetMessage(message);
    mail->SetMessageTimeout(120);
    QElapsedTimer clock;
    clock.start();
    mail->Enruta();
    std::printf("50 MB relayed in %lld ms\n", static_cast<long long>(clock.elapsed()));
    ASSERT_EQ(events->successes, 1) << events->failures.join(u'|').toStdString();
    ASSERT_EQ(server.messages().size(), 1);
    // Exactly the message: it ends with its line end, and nothing is added.
    const QByteArray expected = message;
    const QByteArray got = server.messages()[0];
    qsizetype firstDiff = 0;
    while (firstDiff < qMin(got.size(), expected.size()) && got[firstDiff] == expected[firstDiff])
        ++firstDiff;
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_EQ(firstDiff, expected.size()) << got.mid(firstDiff - 20, 60).toHex().constData() << "\n"
                                          << expected.mid(firstDiff - 20, 60).toHex().constData();
    // Progress rises to 100 without going back.
    ASSERT_GE(events->progress.size(), 3);
    for (qsizetype i = 1; i < events->progress.size(); ++i)
        EXPECT_GE(events->progress[i], events->progress[i - 1]);
    EXPECT_EQ(events->progress.last(), 100);
}
