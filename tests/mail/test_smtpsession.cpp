// The SMTP session through a real loopback socket against a scriptable fake server:
// greeting, HELO/EHLO, AUTH LOGIN, the POP3 login before sending, failures and time-outs,
// replies split over reads, and connections dropped at every step.
#include "mail/modcorreu.h"
#include "mail/smtpreply.h"
#include "platform/wait.h"
#include "smtptestkit.h"
#include "support/fakepop3.h"
#include "support/tempenv.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

using namespace vessamo;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

namespace {

QByteArray b64(const char *text)
{
    return QByteArray(text).toBase64();
}

} // namespace

TEST(ReplyCollector, CompleteRepliesOnly)
{
    mail::ReplyCollector collector;
    collector.append("25");
    EXPECT_FALSE(collector.takeReply());
    collector.append("0-first\r\n250-AUTH LO");
    EXPECT_FALSE(collector.takeReply());
    collector.append("GIN\r\n250 last\r\n354 go\r\n");
    EXPECT_EQ(collector.takeReply(), QByteArray("250-first\r\n250-AUTH LOGIN\r\n250 last\r\n"));
    EXPECT_EQ(collector.takeReply(), QByteArray("354 go\r\n"));
    EXPECT_FALSE(collector.takeReply());
    collector.append("+O");
    EXPECT_FALSE(collector.takeLine());
    collector.append("K ready\r\n-ERR");
    EXPECT_EQ(collector.takeLine(), QByteArray("+OK ready\r\n"));
    EXPECT_FALSE(collector.takeLine());
    // A reply that does not end within the limit is reported, never handed out.
    collector.clear();
    collector.append(QByteArray(mail::ReplyCollector::kLimit - 1, 'x'));
    EXPECT_FALSE(collector.overflowed());
    collector.append("x");
    EXPECT_FALSE(collector.takeReply());
    EXPECT_TRUE(collector.overflowed());
}

using SmtpSession = test::SmtpTest;

TEST_F(SmtpSession, HeloOrEhloWithTheSendersDomain)
{
    struct Row
    {
        const char *from;
        bool auth;
        const char *greeting;
    };
    const Row rows[] = {
        {"ana@example.org", false, "HELO example.org"},
        {"postmaster", false, "HELO postmaster"},
        {"a@b@c.d", false, "HELO b@c.d"},
        {"ana@example.org", true, "EHLO example.org"},
    };
    for (const Row &row : rows) {
        make();
        mail->SetFrom(QString::fromLatin1(row.from));
        mail->SetUseAuthentication(row.auth);
        mail->SetUserName(QStringLiteral("ana"));
        mail->SetPassword(QStringLiteral("pw"));
        mail->Enruta();
        EXPECT_EQ(events->successes, 1) << row.from;
        EXPECT_TRUE(server.commands().contains(QByteArray(row.greeting))) << row.greeting;
    }
}

TEST_F(SmtpSession, AuthLoginAnswersBothChallenges)
{
    logInAs(QStringLiteral("ana"), QStringLiteral("secret"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 1);
    const QList<QByteArray> commands = server.commands();
    const qsizetype auth = commands.indexOf("AUTH Login");
    ASSERT_GE(auth, 0);
    EXPECT_EQ(commands.value(auth + 1), b64("ana"));
    EXPECT_EQ(commands.value(auth + 2), b64("secret"));
    EXPECT_TRUE(events->statuses.contains(QStringLiteral("Sending Login Authentication...")));
    EXPECT_TRUE(events->statuses.contains(QStringLiteral("Host Login OK!")));
}

TEST_F(SmtpSession, EmptyUserNameMeansLoginFailedWithoutReport)
{
    mail->SetUseAuthentication(true);
    mail->SetUserName(QString());
    mail->Enruta();
    EXPECT_EQ(events->successes, 0);
    EXPECT_TRUE(events->failures.isEmpty());
    EXPECT_EQ(events->statuses.value(events->statuses.size() - 1),
              QStringLiteral("Host Login Failed!"));
    for (const QByteArray &command : server.commands())
        EXPECT_FALSE(command.startsWith("MAIL")) << command.constData();
}

TEST_F(SmtpSession, UnknownOrBrokenChallengesAreAnsweredWithAStar)
{
    for (const QByteArray &challenge :
         {QByteArray("334 ") + b64("Token:") + "\r\n", QByteArray("334\r\n"),
          QByteArray("334 !!!not base64###\r\n")}) {
        FakeSmtpServer fresh;
        fresh.script("AUTH", Reply::text(challenge));
        make();
        mail->SetSMTPPort(fresh.port());
        logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
        mail->Enruta();
        EXPECT_TRUE(fresh.received().contains("AUTH Login\r\n\r\n*\r\n")) << challenge.constData();
        // What follows depends on the server; never more than one report.
        EXPECT_LE(events->failures.size(), 1);
    }
}

TEST_F(SmtpSession, AuthParameterGoesIntoMailFrom)
{
    struct Row
    {
        QByteArray ehlo;
        const char *mailFrom;
    };
    const Row rows[] = {
        {"250-fake\r\n250 AUTH=LOGIN\r\n", "MAIL FROM: <ana@example.org> AUTH=ana@example.org"},
        {"250-fake\r\n250 AUTH LOGIN PLAIN\r\n", "MAIL FROM: <ana@example.org>"},
        {"250-fake\r\n250-AUTH PLAIN\r\n250 auth=plain\r\n",
         "MAIL FROM: <ana@example.org> AUTH=ana@example.org"},
    };
    for (const Row &row : rows) {
        FakeSmtpServer fresh;
        fresh.setEhloReply(row.ehlo);
        make();
        mail->SetSMTPPort(fresh.port());
        logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
        mail->Enruta();
        EXPECT_EQ(events->successes, 1);
        EXPECT_TRUE(fresh.commands().contains(QByteArray(row.mailFrom))) << row.mailFrom;
    }
}

TEST_F(SmtpSession, NoAuthAdvertisedContinuesWithoutLogin)
{
    server.setEhloReply("250-fake\r\n250 SIZE 1000\r\n");
    mail->SetUseAuthentication(true);
    mail->SetUserName(QStringLiteral("ana"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(
        events->statuses.contains(QStringLiteral("Login Not Supported by Host, Continuing...")));
    EXPECT_FALSE(server.commands().contains("AUTH Login"));
}

TEST_F(SmtpSession, Pop3LoginBeforeSending)
{
    struct Row
    {
        const char *name;
        QList<QByteArray> greeting;
        bool passFails;
        bool sent;
    };
    const Row rows[] = {
        {"upper case", {"+OK ready\r\n"}, false, true},
        {"lower case +ok", {"+ok ready\r\n"}, false, true},
        {"greeting split", {"+", "OK ready\r\n"}, false, true},
        {"wrong password", {"+OK ready\r\n"}, true, false},
    };
    for (const Row &row : rows) {
        test::FakePop3 pop3;
        pop3.setCredentials("ana", "secret");
        pop3.setReply("GREETING", row.greeting);
        FakeSmtpServer fresh;
        make();
        mail->SetSMTPPort(fresh.port());
        mail->SetUsePopAuthentication(true);
        mail->SetPOP3Host(QStringLiteral("127.0.0.1"));
        mail->SetPOP3Port(pop3.port());
        mail->SetUserName(QStringLiteral("ana"));
        mail->SetPassword(row.passFails ? QStringLiteral("wrong") : QStringLiteral("secret"));
        mail->Enruta();
        EXPECT_EQ(events->successes, row.sent ? 1 : 0) << row.name;
        EXPECT_EQ(fresh.connections(), row.sent ? 1 : 0) << row.name;
        // A refused login still ends with QUIT (the session closes politely); its reply
        // is not awaited, so the fake may read it only after Enruta has returned.
        platform::waitUntil([&] { return pop3.commands().size() >= 3; }, QDeadlineTimer(5000));
        const QList<QByteArray> expected {
            "USER ana", "PASS " + QByteArray(row.passFails ? "wrong" : "secret"), "QUIT"};
        EXPECT_EQ(pop3.commands(), expected) << row.name;
        if (row.passFails) {
            ASSERT_EQ(events->failures.size(), 1) << row.name;
            EXPECT_TRUE(events->failures[0].startsWith(u"-ERR")) << row.name;
        } else {
            EXPECT_TRUE(
                events->statuses.contains(QStringLiteral("POP3 Authentication Successful...")));
        }
    }
}

TEST_F(SmtpSession, Pop3LoginWithoutHostFails)
{
    mail->SetUsePopAuthentication(true);
    mail->Enruta();
    EXPECT_EQ(events->failures,
              QStringList {QStringLiteral("Invalid or Missing POP3 Host Name\r\n")});
    EXPECT_EQ(server.connections(), 0);
}

// Counts and times that assignment refuses can still come from the remembered settings,
// which are loaded without checks.
TEST_F(SmtpSession, ConnectRetryZeroAndConnectTimeoutBelowOne)
{
    struct Row
    {
        const char *retry;
        const char *timeout;
        int connections;
    };
    const Row rows[] = {{" 0", " 1", 0}, {" 4", " 0", 0}, {"-3", "-5", 0}};
    for (const Row &row : rows) {
        {
            QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                               QStringLiteral("Postiera"), QStringLiteral("Postiera"));
            settings.beginGroup(QStringLiteral("Settings"));
            settings.setValue(QStringLiteral("PersistentSettings"), QStringLiteral("-1"));
            settings.setValue(QStringLiteral("ConnectRetry"), QString::fromLatin1(row.retry));
            settings.setValue(QStringLiteral("ConnectTimeout"), QString::fromLatin1(row.timeout));
        }
        FakeSmtpServer fresh;
        make(false);
        mail->SetSMTPPort(fresh.port());
        ASSERT_EQ(mail->ConnectRetry(), QByteArray(row.retry).trimmed().toInt());
        ASSERT_EQ(mail->ConnectTimeout(), QByteArray(row.timeout).trimmed().toInt());
        mail->Enruta();
        EXPECT_EQ(fresh.connections(), row.connections) << row.retry << row.timeout;
        EXPECT_EQ(events->failures,
                  QStringList {QStringLiteral(
                      "Timeout occurred: The SMTP Host did not respond to the request\r\n")});
        EXPECT_EQ(events->successes, 0);
    }
}

TEST_F(SmtpSession, UnreachableServerReportsTheSocketError)
{
    quint16 port;
    {
        FakeSmtpServer gone;
        port = gone.port();
    }
    mail->SetSMTPPort(port);
    mail->Enruta();
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].endsWith(u"\r\n"));
    EXPECT_EQ(events->successes, 0);
}

TEST_F(SmtpSession, MissingHostIsKeptForTheNextReport)
{
    mail->SetSMTPHost(QString());
    // No name server anywhere: the MX query finds nothing.
    dns::DnsServers none;
    dns::MxQueryOptions options;
    options.servers = &none;
    options.sources.resolvConf = QStringLiteral("/nonexistent/resolv.conf");
    options.sources.fallbackResolvConf = QStringLiteral("/nonexistent/resolv2.conf");
    options.sources.fullyQualifiedHostName = [] { return QString(); };
    options.sources.lookUpHostName = [](const QString &) { return QString(); };
    mail->SetMxQueryOptions(options);
    mail->Enruta();
    EXPECT_TRUE(events->failures.isEmpty());
    EXPECT_TRUE(mail->ErrorList().contains(QStringLiteral("Invalid or Missing SMTP Host Name")));
    EXPECT_EQ(server.connections(), 0);
}
