// Faults of the SMTP session against a hostile fake server: what each failure counts as for
// the forwarder (sent, temporary, permanent, ambiguous) and how it is reported, an
// unreachable server, an endless multi-line reply, broken remembered times, a stop request
// in the middle of a wait, and a wire log that never shows a secret.
#include "platform/stopsource.h"
#include "platform/wirelog.h"
#include "smtptestkit.h"
#include "support/fakepop3.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QTimer>

using namespace vessamo;
using test::FakeSmtpServer;
using Outcome = mail::RelayOutcome;
using Reply = test::FakeSmtpServer::Reply;

using SmtpFaults = test::SmtpTest;

namespace {

const QString kTimeoutText
    = QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request\r\n");

} // namespace

// Each step's failure, what it tells the forwarder about the message, and its one report:
// the refusal as the server sent it, a time-out, or a closed connection (at once, never
// after waiting for the time-out).
TEST_F(SmtpFaults, EveryFailureHasItsClassAndOneReport)
{
    struct Row
    {
        QByteArray step;
        Reply reply;
        Outcome outcome;
        int deliveries;
    };
    const Row rows[] = {
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
        {"RCPT", Reply::text("554 5.7.1 denied\r\n"), Outcome::Permanent, 0},
        {"RCPT", Reply::text("450 4.2.0 later\r\n"), Outcome::Temporary, 0},
        {"DATA", Reply::text("554 no\r\n"), Outcome::Permanent, 0},
        {".", Reply::text("552 5.3.4 too big\r\n"), Outcome::Permanent, 1},
        {".", Reply::text("452 full\r\n"), Outcome::Temporary, 1},
        {"GREETING", Reply::drop(), Outcome::Temporary, 0},
        {"MAIL", Reply::drop(), Outcome::Temporary, 0},
        {"RCPT", Reply::drop(), Outcome::Temporary, 0},
        {".", Reply::drop(), Outcome::Ambiguous, 1},
        {"HELO", Reply::silence(), Outcome::Temporary, 0},
        {"MAIL", Reply::silence(), Outcome::Temporary, 0},
        {".", Reply::silence(), Outcome::Ambiguous, 1},
    };
    for (const Row &row : rows) {
        const QByteArray report = row.outcome == Outcome::Sent ? QByteArray()
            : row.reply.kind == Reply::Send                    ? row.reply.fragments[0] + "\r\n"
            : row.reply.kind == Reply::Drop                    ? QByteArray("closed")
                                                               : kTimeoutText.toLatin1();
        SCOPED_TRACE(row.step.toStdString() + " " + std::to_string(row.reply.kind) + " "
                     + row.reply.fragments.value(0).toStdString());
        FakeSmtpServer &fake = fresh();
        if (!row.step.isEmpty())
            fake.script(row.step, row.reply);
        mail->SetMessageTimeout(1);
        mail->SetConnectTimeout(1);
        mail->Enruta();
        EXPECT_EQ(mail->Outcome(), row.outcome);
        EXPECT_EQ(fake.messages().size(), row.deliveries);
        EXPECT_EQ(events->successes, row.outcome == Outcome::Sent ? 1 : 0);
        const std::string reports = events->failures.join(u'|').toStdString();
        EXPECT_EQ(events->failures.size(), report.isEmpty() ? 0 : 1) << reports;
        EXPECT_TRUE(
            events->failures.value(0).contains(QString::fromLatin1(report), Qt::CaseInsensitive))
            << reports;
        // A refusal is answered with QUIT while the connection is open.
        if (row.reply.kind == Reply::Send && row.outcome != Outcome::Sent) {
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
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].endsWith(u"\r\n"));
    EXPECT_EQ(events->successes, 0);
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

namespace {

QStringList *capturedWire = nullptr;

void captureWire(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (capturedWire && QByteArray(context.category) == "vessamo.wire.smtp")
        *capturedWire << text;
}

} // namespace

// AUTH LOGIN answers both challenges on the wire; the wire log masks them, the POP3
// password and the message.
TEST_F(SmtpFaults, WireLogMasksSecretsAndSkipsTheMessage)
{
    QStringList lines;
    capturedWire = &lines;
    QLoggingCategory::setFilterRules(QStringLiteral("vessamo.wire.smtp.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(captureWire);
    test::FakePop3 pop3;
    pop3.setCredentials("ana", "s3cr3t-pw");
    mail->SetUsePopAuthentication(true);
    mail->SetPOP3Host(QStringLiteral("127.0.0.1"));
    mail->SetPOP3Port(pop3.port());
    logInAs(QStringLiteral("ana"), QStringLiteral("s3cr3t-pw"));
    mail->Enruta();
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    capturedWire = nullptr;

    EXPECT_EQ(events->successes, 1);
    const QList<QByteArray> commands = server.commands();
    const qsizetype authCommand = commands.indexOf("AUTH Login");
    ASSERT_GE(authCommand, 0);
    EXPECT_EQ(commands.mid(authCommand + 1, 2),
              (QList<QByteArray> {QByteArray("ana").toBase64(), "czNjcjN0LXB3"}));

    const QString all = lines.join(u'\n');
    for (const QByteArray &secret : {QByteArray("s3cr3t-pw"), QByteArray("czNjcjN0LXB3"),
                                     QByteArray("ana").toBase64(), QByteArray("hello")})
        EXPECT_FALSE(all.contains(QString::fromLatin1(secret))) << secret.constData();
    const qsizetype auth = lines.indexOf(QStringLiteral("C: AUTH Login"));
    ASSERT_GE(auth, 0) << all.toStdString();
    EXPECT_EQ(lines.mid(auth, 5),
              (QStringList {QStringLiteral("C: AUTH Login"), QStringLiteral("S: 334 VXNlcm5hbWU6"),
                            QStringLiteral("C: ********"), QStringLiteral("S: 334 UGFzc3dvcmQ6"),
                            QStringLiteral("C: ********")}));
    for (const char *line : {"C: <message, 21 octets>", "C: .", "S: 250 2.0.0 queued",
                             "C: USER ana", "C: PASS ********", "S: 220 fake.example ESMTP ready"})
        EXPECT_TRUE(lines.contains(QString::fromLatin1(line))) << line << "\n" << all.toStdString();
}
