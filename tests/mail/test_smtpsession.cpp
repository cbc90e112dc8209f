// The SMTP session's logins and its host: what the EHLO reply decides about AUTH LOGIN and
// the MAIL FROM line, a challenge it does not know, a refused POP3 login before sending,
// and the MX lookup when no SMTP host is set.
#include "platform/wait.h"
#include "smtptestkit.h"
#include "support/fakepop3.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

using namespace vessamo;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

using SmtpSession = test::SmtpTest;

TEST_F(SmtpSession, EhloReplyDecidesLoginAndMailFrom)
{
    struct Row
    {
        QByteArray ehlo;
        bool login;
        const char *mailFrom;
    };
    const Row rows[] = {
        {"250-fake\r\n250 AUTH=LOGIN\r\n", true,
         "MAIL FROM: <ana@example.org> AUTH=ana@example.org"},
        {"250-fake\r\n250 AUTH LOGIN PLAIN\r\n", true, "MAIL FROM: <ana@example.org>"},
        {"250-fake\r\n250-AUTH PLAIN\r\n250 auth=plain\r\n", true,
         "MAIL FROM: <ana@example.org> AUTH=ana@example.org"},
        {"250-fake\r\n250 SIZE 1000\r\n", false, "MAIL FROM: <ana@example.org>"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ehlo.toStdString());
        FakeSmtpServer &fake = fresh();
        fake.setEhloReply(row.ehlo);
        logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
        mail->Enruta();
        EXPECT_EQ(events->successes, 1);
        EXPECT_TRUE(fake.commands().contains("EHLO example.org"));
        EXPECT_EQ(fake.commands().contains("AUTH Login"), row.login);
        EXPECT_TRUE(fake.commands().contains(QByteArray(row.mailFrom)));
    }
}

TEST_F(SmtpSession, UnknownChallengeIsAnsweredWithAStar)
{
    server.script("AUTH", Reply::text("334 !!!not base64###\r\n"));
    logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
    mail->Enruta();
    EXPECT_TRUE(server.received().contains("AUTH Login\r\n\r\n*\r\n"));
    // What follows depends on the server; never more than one report.
    EXPECT_LE(events->failures.size(), 1);
}

// A refused POP3 login stops the sending before any SMTP traffic and still ends with QUIT.
// (The wire-log test goes through a successful one.)
TEST_F(SmtpSession, RefusedPop3LoginSendsNothing)
{
    test::FakePop3 pop3;
    pop3.setCredentials("ana", "secret");
    pop3.setReply("GREETING", {"+", "ok ready\r\n"});
    mail->SetUsePopAuthentication(true);
    mail->SetPOP3Host(QStringLiteral("127.0.0.1"));
    mail->SetPOP3Port(pop3.port());
    mail->SetUserName(QStringLiteral("ana"));
    mail->SetPassword(QStringLiteral("wrong"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 0);
    EXPECT_EQ(server.connections(), 0);
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].startsWith(u"-ERR"));
    // The QUIT's reply is not awaited: the fake may read it only after Enruta has returned.
    platform::waitUntil([&] { return pop3.commands().size() >= 3; }, QDeadlineTimer(5000));
    EXPECT_EQ(pop3.commands(), (QList<QByteArray> {"USER ana", "PASS wrong", "QUIT"}));
}

// Without an SMTP host the exchanger of the default domain takes its place. (The router
// refuses to start without one: a smoke test.)
TEST_F(SmtpSession, MissingHostIsLookedUpAsMailExchanger)
{
    // A name server on loopback that answers every question with the MX record
    // "10 127.0.0.1": identifier, flags, counts, the question as asked, then the record.
    QUdpSocket dns;
    ASSERT_TRUE(dns.bind(QHostAddress::LocalHost, 0));
    QObject::connect(&dns, &QUdpSocket::readyRead, [&dns] {
        while (dns.hasPendingDatagrams()) {
            const QNetworkDatagram query = dns.receiveDatagram();
            const QByteArray q = query.data();
            const QByteArray reply = q.left(2) + QByteArray("\x81\x80\0\1\0\1\0\0\0\0", 10)
                + q.mid(12)
                + QByteArray("\xC0\x0C\0\x0F\0\x01\0\0\x0E\x10\0\x0D\0\x0A\003127\0010\0010\0011",
                             24)
                + '\0';
            dns.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
        }
    });
    dns::DnsServers servers;
    servers.servers = QStringList {QStringLiteral("127.0.0.1")};
    servers.defaultDomain = QStringLiteral("example.cat");
    dns::MxQueryOptions options;
    options.servers = &servers;
    options.port = dns.localPort();
    mail->SetSMTPHost(QString());
    mail->SetMxQueryOptions(options);
    mail->Enruta();
    EXPECT_TRUE(events->statuses.contains(QStringLiteral("Performing MX Query")));
    EXPECT_EQ(events->successes, 1);
    EXPECT_EQ(server.messages().size(), 1);
}
