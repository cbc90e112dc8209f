// Faults of the SMTP session against a hostile fake server: what each failure counts as for
// the forwarder (sent, temporary, permanent, ambiguous), a reply followed at once by the
// server's close, a refused goodbye, an endless multi-line reply, a stop request in the
// middle of a wait, and a wire log that never shows a secret.
#include "platform/stopsource.h"
#include "platform/wirelog.h"
#include "smtptestkit.h"
#include "support/fakepop3.h"

#include <QElapsedTimer>
#include <QTimer>

using namespace vessamo;
using test::FakeSmtpServer;
using Outcome = mail::RelayOutcome;
using Reply = test::FakeSmtpServer::Reply;

using SmtpFaults = test::SmtpTest;

// Each step's failure, and what it tells the forwarder about the message.
TEST_F(SmtpFaults, EveryFailureHasItsClass)
{
    struct Row
    {
        const char *name;
        QByteArray step;
        Reply reply;
        Outcome outcome;
        int deliveries;
        int reports;
    };
    const Row rows[] = {
        {"plain success", "", Reply::text(""), Outcome::Sent, 1, 0},
        {"250 then close", ".", Reply::thenClose("250 2.0.0 queued\r\n"), Outcome::Sent, 1, 0},
        {"refused QUIT", "QUIT", Reply::text("554 5.0.0 no\r\n"), Outcome::Sent, 1, 0},
        {"drop at QUIT", "QUIT", Reply::drop(), Outcome::Sent, 1, 0},
        {"421 greeting", "GREETING", Reply::text("421 busy\r\n"), Outcome::Temporary, 0, 1},
        {"554 greeting", "GREETING", Reply::text("554 go away\r\n"), Outcome::Temporary, 0, 1},
        {"501 HELO", "HELO", Reply::text("501 syntax\r\n"), Outcome::Temporary, 0, 1},
        {"451 MAIL", "MAIL", Reply::text("451 later\r\n"), Outcome::Temporary, 0, 1},
        {"550 MAIL", "MAIL", Reply::text("550 no\r\n"), Outcome::Permanent, 0, 1},
        {"554 RCPT", "RCPT", Reply::text("554 relay denied\r\n"), Outcome::Permanent, 0, 1},
        {"554 DATA", "DATA", Reply::text("554 no\r\n"), Outcome::Permanent, 0, 1},
        {"552 end of data", ".", Reply::text("552 too big\r\n"), Outcome::Permanent, 1, 1},
        {"452 end of data", ".", Reply::text("452 full\r\n"), Outcome::Temporary, 1, 1},
        {"drop at MAIL", "MAIL", Reply::drop(), Outcome::Temporary, 0, 1},
        {"drop at end of data", ".", Reply::drop(), Outcome::Ambiguous, 1, 1},
        {"silence at end of data", ".", Reply::silence(), Outcome::Ambiguous, 1, 1},
        {"silence at RCPT", "RCPT", Reply::silence(), Outcome::Temporary, 0, 1},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        if (!row.step.isEmpty())
            fresh.script(row.step, row.reply);
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetMessageTimeout(1);
        mail->Enruta();
        EXPECT_EQ(mail->Outcome(), row.outcome) << row.name;
        EXPECT_EQ(fresh.messages().size(), row.deliveries) << row.name;
        EXPECT_EQ(events->failures.size(), row.reports)
            << row.name << ": " << events->failures.join(u'|').toStdString();
        EXPECT_EQ(events->successes, row.outcome == Outcome::Sent ? 1 : 0) << row.name;
    }
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
    const QString expected
        = QStringLiteral("Reply from the SMTP Host too long (over 65536 octets): "
                         "250-\\x1b[31mflood line\\r\\n250-");
    EXPECT_TRUE(events->failures[0].startsWith(expected)) << events->failures[0].toStdString();
    EXPECT_FALSE(server.commands().contains("RCPT TO: <joan@example.net>"));
    EXPECT_EQ(mail->Outcome(), Outcome::Temporary);
}

// A stop ends the wait in progress at once, with no report and no goodbye wait.
TEST_F(SmtpFaults, StopEndsEveryWait)
{
    for (const QByteArray &step : {QByteArray("GREETING"), QByteArray("MAIL"), QByteArray(".")}) {
        FakeSmtpServer fresh;
        fresh.script(step, Reply::silence());
        fresh.script("QUIT", Reply::silence());
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetConnectTimeout(60);
        mail->SetMessageTimeout(60);
        platform::StopSource stop;
        mail->SetStopSource(&stop);
        QTimer::singleShot(200, [&stop] { stop.request(); });
        QElapsedTimer clock;
        clock.start();
        mail->Enruta();
        // Far below either time-out: the stop, not a deadline, ended it.
        EXPECT_LT(clock.elapsed(), 20000) << step.constData();
        EXPECT_TRUE(events->failures.isEmpty()) << step.constData();
        EXPECT_EQ(events->successes, 0) << step.constData();
        EXPECT_NE(mail->Outcome(), Outcome::Sent) << step.constData();
        EXPECT_EQ(socket.State(), 0) << step.constData();
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
    const QString all = lines.join(u'\n');
    for (const QByteArray &secret : {QByteArray("s3cr3t-pw"), QByteArray("s3cr3t-pw").toBase64(),
                                     QByteArray("ana").toBase64(), QByteArray("hello")})
        EXPECT_FALSE(all.contains(QString::fromLatin1(secret))) << secret.constData();
    const qsizetype auth = lines.indexOf(QStringLiteral("C: AUTH Login"));
    ASSERT_GE(auth, 0) << all.toStdString();
    EXPECT_EQ(lines.mid(auth, 5),
              (QStringList {QStringLiteral("C: AUTH Login"), QStringLiteral("S: 334 VXNlcm5hbWU6"),
                            QStringLiteral("C: ********"), QStringLiteral("S: 334 UGFzc3dvcmQ6"),
                            QStringLiteral("C: ********")}));
    EXPECT_TRUE(lines.contains(QStringLiteral("C: <message, 21 octets>"))) << all.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("C: .")));
    EXPECT_TRUE(lines.contains(QStringLiteral("S: 250 2.0.0 queued")));
    EXPECT_TRUE(lines.contains(QStringLiteral("C: USER ana")));
    EXPECT_TRUE(lines.contains(QStringLiteral("C: PASS ********")));
    EXPECT_TRUE(lines.contains(QStringLiteral("S: 220 fake.example ESMTP ready")));
}

// A header line too long for SMTP is folded before a blank, so that its next piece begins
// with white space and stays part of the header; a body line keeps its cut after the blank.
TEST_F(SmtpFaults, LongHeaderLinesFoldBeforeABlank)
{
    const QByteArray a(995, 'a');
    const QByteArray line = "Subject: " + a + " tail"; // 1009 octets, blanks at 8 and 1004
    struct Row
    {
        const char *name;
        QByteArray given;
        QByteArray data;
    };
    const Row rows[] = {
        {"header", line + "\r\n\r\nbody\r\n", "Subject:\r\n " + a + "\r\n tail\r\n\r\nbody\r\n"},
        {"body", "X: y\r\n\r\n" + line + "\r\n", "X: y\r\n\r\nSubject: \r\n" + a + " \r\ntail\r\n"},
        {"no blank", "X:" + QByteArray(1000, 'b') + "\r\n\r\n",
         "X:" + QByteArray(996, 'b') + "\r\nbbbb\r\n\r\n"},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetMessage(row.given);
        mail->Enruta();
        ASSERT_EQ(fresh.messages().size(), 1) << row.name;
        EXPECT_EQ(fresh.messages()[0], row.data) << row.name;
    }
}
