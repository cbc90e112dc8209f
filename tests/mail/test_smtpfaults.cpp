// Faults of the SMTP session against a hostile fake server: what each failure counts as for
// the forwarder and how it is reported, an endless reply, broken remembered times, a stop
// request during a wait, and a wire log that never shows a secret.
#include "platform/stopsource.h"
#include "platform/wirelog.h"
#include "smtptestkit.h"
#include "support/wirelogcapture.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QTimer>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::FakeSmtpServer;
using Outcome = mail::RelayOutcome;
using Reply = test::FakeSmtpServer::Reply;

using SmtpFaults = test::SmtpTest;

static const QString kTimeoutText
    = QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request\r\n");

// Each step's failure, what it tells the forwarder about the message, and its one report:
// the refusal as the server sent it, a time-out, or a closed connection (at once, never
// after waiting for the time-out).
TEST_F(SmtpFaults, EveryFailureHasItsClassAndOneReport)
{
    const std::tuple<QByteArray, Reply, Outcome, int> rows[] = {
        {"", Reply::text(""), Outcome::Sent, 1},
        {".", Reply::thenClose("250 2.0.0 queued\r\n"), Outcome::Sent, 1},
        {"QUIT", Reply::text("554 5.0.0 no\r\n"), Outcome::Sent, 1},
        {"QUIT", Reply::drop(), Outcome::Sent, 1},
        {"GREETING", Reply::text("421 4.3.2 Busy\r\n"), Outcome::Temporary, 0},
        {"GREETING", Reply::text("554 go away\r\n"), Outcome::Temporary, 0},
        {"HELO", Reply::text("501-Syntax\r\n501 error\r\n"), Outcome::Temporary, 0},
        {"MAIL", Reply::text("451 later\r\n"), Outcome::Temporary, 0},
        {"MAIL", Reply::text("550 5.1.0 no\r\n"), Outcome::Permanent, 0},
        {"RCPT", Reply::text("550 5.1.1 unknown\r\n"), Outcome::Permanent, 0},
        {"RCPT", Reply::text("450 4.2.0 later\r\n"), Outcome::Temporary, 0},
        {"DATA", Reply::text("554 no\r\n"), Outcome::Permanent, 0},
        {".", Reply::text("552 5.3.4 too big\r\n"), Outcome::Permanent, 1},
        {".", Reply::text("452 full\r\n"), Outcome::Temporary, 1},
        {"GREETING", Reply::drop(), Outcome::Temporary, 0},
        {"MAIL", Reply::drop(), Outcome::Temporary, 0},
        {".", Reply::drop(), Outcome::Ambiguous, 1},
        {"MAIL", Reply::silence(), Outcome::Temporary, 0},
        {".", Reply::silence(), Outcome::Ambiguous, 1},
    };
    for (const auto &[step, reply, outcome, deliveries] : rows) {
        const QByteArray report = outcome == Outcome::Sent ? QByteArray()
            : reply.kind == Reply::Send                    ? reply.fragments[0] + "\r\n"
            : reply.kind == Reply::Drop                    ? QByteArray("closed")
                                                           : kTimeoutText.toLatin1();
        SCOPED_TRACE(step.toStdString() + " " + std::to_string(reply.kind) + " "
                     + reply.fragments.value(0).toStdString());
        FakeSmtpServer &fake = fresh();
        if (!step.isEmpty())
            fake.script(step, reply);
        mail->SetMessageTimeout(1);
        mail->SetConnectTimeout(1);
        mail->Enruta();
        EXPECT_EQ(mail->Outcome(), outcome);
        EXPECT_EQ(fake.messages().size(), deliveries);
        EXPECT_EQ(events->successes, outcome == Outcome::Sent ? 1 : 0);
        const std::string reports = events->failures.join(u'|').toStdString();
        EXPECT_EQ(events->failures.size(), report.isEmpty() ? 0 : 1) << reports;
        EXPECT_TRUE(
            events->failures.value(0).contains(QString::fromLatin1(report), Qt::CaseInsensitive))
            << reports;
        // A refusal is answered with QUIT while the connection is open.
        if (reply.kind == Reply::Send && outcome != Outcome::Sent) {
            EXPECT_EQ(fake.commands().value(fake.commands().size() - 1), QByteArray("QUIT"));
        }
        EXPECT_TRUE(mail->ErrorList().isEmpty());
        EXPECT_EQ(socket.State(), 0);
    }
}

TEST_F(SmtpFaults, UnreachableServerReportsTheSocketError)
{
    {
        FakeSmtpServer gone;
        mail->SetSMTPPort(gone.port());
    }
    mail->Enruta();
    EXPECT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures.value(0).endsWith(u"\r\n"));
    EXPECT_EQ(mail->Outcome(), Outcome::Temporary);
}

TEST_F(SmtpFaults, EndlessMultiLineReplyIsNeverJudged)
{
    QByteArray flood;
    while (flood.size() <= mail::ReplyCollector::kLimit)
        flood += "250-\x1b[31mflood line\r\n";
    server.script("MAIL", Reply::text(flood));
    mail->Enruta();
    EXPECT_EQ(events->successes, 0);
    ASSERT_EQ(events->failures.size(), 1);
    // Its head, made harmless, says what it was.
    EXPECT_TRUE(events->failures[0].startsWith(
        QStringLiteral("Reply from the SMTP Host too long (over 65536 octets): "
                       "250-\\x1b[31mflood line\\r\\n250-")))
        << events->failures[0].toStdString();
    EXPECT_FALSE(server.commands().contains("RCPT TO: <joan@example.net>"));
    EXPECT_EQ(mail->Outcome(), Outcome::Temporary);
}

// A retry count and a time that assignment refuses can still come from the remembered
// settings, which are loaded without checks: no connection, one time-out report, no hang.
TEST_F(SmtpFaults, ConnectRetryZeroAndConnectTimeoutBelowOne)
{
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Postiera"),
                           QStringLiteral("Postiera"));
        settings.setValue(QStringLiteral("Settings/PersistentSettings"), QStringLiteral("-1"));
        settings.setValue(QStringLiteral("Settings/ConnectRetry"), QStringLiteral(" 0"));
        settings.setValue(QStringLiteral("Settings/ConnectTimeout"), QStringLiteral("-5"));
    }
    FakeSmtpServer &fake = fresh(false);
    ASSERT_EQ(mail->ConnectRetry(), 0);
    ASSERT_EQ(mail->ConnectTimeout(), -5);
    mail->Enruta();
    EXPECT_EQ(fake.connections(), 0);
    EXPECT_EQ(events->failures, QStringList {kTimeoutText});
    EXPECT_EQ(events->successes, 0);
}

// A stop ends the wait in progress at once, with no report and no goodbye wait.
TEST_F(SmtpFaults, StopEndsEveryWait)
{
    for (const QByteArray &step : {QByteArray("GREETING"), QByteArray("MAIL"), QByteArray(".")}) {
        SCOPED_TRACE(step.toStdString());
        FakeSmtpServer &fake = fresh();
        fake.script(step, Reply::silence());
        fake.script("QUIT", Reply::silence());
        mail->SetConnectTimeout(60);
        mail->SetMessageTimeout(60);
        platform::StopSource stop;
        mail->SetStopSource(&stop);
        QTimer::singleShot(200, [&stop] { stop.request(); });
        QElapsedTimer clock;
        clock.start();
        mail->Enruta();
        // Far below either time-out: the stop, not a deadline, ended it.
        EXPECT_LT(clock.elapsed(), 20000);
        EXPECT_TRUE(events->failures.isEmpty());
        EXPECT_EQ(events->successes, 0);
        EXPECT_EQ(mail->Outcome(), step == "." ? Outcome::Ambiguous : Outcome::Temporary);
        EXPECT_EQ(socket.State(), 0);
    }
}

// AUTH LOGIN answers both challenges on the wire; the wire log masks them and the message.
TEST_F(SmtpFaults, WireLogMasksSecretsAndSkipsTheMessage)
{
    QStringList lines;
    {
        test::WireLogCapture capture("vessamo.wire.smtp");
        logInAs(QStringLiteral("s3cr3t-pw"));
        mail->Enruta();
        lines = capture.lines;
    }

    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(server.received().contains("AUTH LOGIN\r\nYW5h\r\nczNjcjN0LXB3\r\n"));
    const QString all = lines.join(u'\n');
    for (const char *secret : {"s3cr3t-pw", "czNjcjN0LXB3", "YW5h", "hello"})
        EXPECT_FALSE(all.contains(QLatin1StringView(secret))) << secret;
    const qsizetype auth = lines.indexOf(u"C: AUTH LOGIN"_s);
    EXPECT_EQ(lines.mid(auth, 5).join(u'|'),
              u"C: AUTH LOGIN|S: 334 VXNlcm5hbWU6|C: ********|S: 334 UGFzc3dvcmQ6|C: ********"_s);
    for (const char *line : {"C: <message, 21 octets>", "C: .", "S: 250 2.0.0 queued",
                             "S: 220 fake.example ESMTP ready"})
        EXPECT_TRUE(lines.contains(QLatin1StringView(line))) << line << "\n" << all.toStdString();
}
