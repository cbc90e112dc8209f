// Relay of a stored message (Enruta) through a real loopback socket: the exact bytes on
// the wire, the message as the server receives it, split replies, unsafe addresses, a
// keep-open session, release of the object from its own events, the processor use of a
// wait, a 50 MB message; then the session's login (what the EHLO reply decides, a challenge
// it does not know) and the MX lookup when no SMTP host is set.
#include "smtptestkit.h"
#include "support/mailwire.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <algorithm>
#include <sys/resource.h>

using namespace vessamo;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

using SmtpRelay = test::SmtpTest;

// Only the first recipient is used: a second one would be a copy nobody asked for.
TEST_F(SmtpRelay, ExactByteStreamAndEvents)
{
    mail->SetRecipient(QStringLiteral("joan@example.net;pere@example.net"));
    mail->Enruta();
    EXPECT_EQ(server.received(),
              QByteArray("HELO example.org\r\n"
                         "MAIL FROM: <ana@example.org>\r\n"
                         "RCPT TO: <joan@example.net>\r\n"
                         "DATA\r\n"
                         "Subject: x\r\n\r\nhello\r\n"
                         ".\r\n"
                         "QUIT\r\n"));
    // What the status list of a routing run shows.
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
    EXPECT_EQ(events->progress.value(events->progress.size() - 1), 100);
    EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Sent);
    EXPECT_EQ(socket.State(), 0);
}

// Dots are stuffed, long lines folded (a header before its blank, so that it stays one
// header), 8-bit bytes pass, and a bare CR or LF never reaches the server as such: a
// receiver that reads line ends loosely would otherwise end the data early and read the
// rest as commands.
TEST_F(SmtpRelay, MessageOnTheWire)
{
    const QByteArray a(995, 'a');
    const QByteArray line = "Subject: " + a + " tail"; // 1009 octets, blanks at 8 and 1004
    struct Row
    {
        QByteArray message;
        QByteArray data;
    };
    const Row rows[] = {
        {".x\r\n\r\n.\r\n..y\r\n\xe9t\xe9 \xff\r\nend",
         "..x\r\n\r\n..\r\n...y\r\n\xe9t\xe9 \xff\r\nend\r\n"},
        {"a\n.\nMAIL FROM:<evil@x.y>\r\nb", "a\r\n..\r\nMAIL FROM:<evil@x.y>\r\nb\r\n"},
        {"a\r.\rQUIT\r\nb", "a\r\n..\r\nQUIT\r\nb\r\n"},
        {"x\r\n.\n\r\n", "x\r\n..\r\n\r\n"},
        {line + "\r\n\r\nbody\r\n", "Subject:\r\n " + a + "\r\n tail\r\n\r\nbody\r\n"},
        {"X: y\r\n\r\n" + line + "\r\n", "X: y\r\n\r\nSubject: \r\n" + a + " \r\ntail\r\n"},
        {"X:" + QByteArray(1000, 'b') + "\r\n\r\n",
         "X:" + QByteArray(996, 'b') + "\r\nbbbb\r\n\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.message.left(40).toStdString());
        FakeSmtpServer &fake = fresh();
        mail->SetMessage(row.message);
        mail->Enruta();
        ASSERT_EQ(fake.messages().size(), 1);
        EXPECT_EQ(fake.messages()[0], row.data);
        EXPECT_EQ(fake.commands().size(), 5); // HELO MAIL RCPT DATA QUIT: nothing smuggled
        EXPECT_EQ(events->successes, 1);
    }
}

TEST_F(SmtpRelay, RepliesSplitIntoFragmentsAreJudgedWhole)
{
    server.script("GREETING", Reply::split({"22", "0 fake ready\r\n"}, 20));
    server.script("EHLO", Reply::split({"250-fake\r\n25", "0 AUTH LOG", "IN\r\n"}, 20));
    // "25" alone would be a failure if it were judged.
    server.script("MAIL", Reply::split({"25", "0 OK\r\n"}, 30));
    server.script("RCPT", Reply::split({"250-first\r\n250", " last\r\n"}, 30));
    server.script("DATA", Reply::split({"3", "5", "4 go\r\n"}, 10));
    server.script(".", Reply::split({"250 ", "queued\r\n"}, 30));
    logInAs(QStringLiteral("ana"), QStringLiteral("pw"));
    mail->Enruta();
    EXPECT_TRUE(events->failures.isEmpty()) << events->failures.join(u'|').toStdString();
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(server.commands().contains("AUTH Login"));
}

TEST_F(SmtpRelay, LineBreaksInAddressesAreRefusedBeforeAnyTraffic)
{
    const std::pair<const char *, const char *> rows[] = {
        {"ana@example.org\r\nRSET", "joan@example.net"},
        {"ana@example.org\nRSET", "joan@example.net"},
        {"ana@example.org\rRSET", "joan@example.net"},
        {"ana@example.org", "joan@example.net> NOTIFY=NEVER"},
        {"a<b@example.org", "joan@example.net"},
    };
    for (const auto &[from, recipient] : rows) {
        SCOPED_TRACE(from);
        FakeSmtpServer &fake = fresh();
        mail->SetFrom(QString::fromLatin1(from));
        mail->SetRecipient(QString::fromLatin1(recipient));
        mail->Enruta();
        ASSERT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures[0].contains(u"Invalid character"));
        EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Permanent);
        EXPECT_EQ(fake.connections(), 0);
    }
}

TEST_F(SmtpRelay, EmptyRecipientListFailsAfterMailFrom)
{
    mail->SetRecipient(QString());
    mail->Enruta();
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].endsWith(QStringLiteral("Subscript out of range\r\n")));
    EXPECT_EQ(server.commands().size(), 3); // HELO MAIL QUIT
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
}

TEST_F(SmtpRelay, KeepOpenSendsTwoMessagesOnOneSession)
{
    ASSERT_TRUE(mail->Connect());
    mail->Enruta();
    mail->SetMessage(QByteArrayLiteral("second\r\n"));
    mail->Enruta();
    EXPECT_EQ(events->successes, 2);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_EQ(server.messages(), (QList<QByteArray> {"Subject: x\r\n\r\nhello\r\n", "second\r\n"}));
    EXPECT_FALSE(server.commands().contains("QUIT"));
    mail->Disconnect();
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
    EXPECT_EQ(socket.State(), 0);
}

// The owner may release the object from any of its events: here from the k-th event, for
// every k, of a relay that succeeds, one refused in a reply handler, and one dropped.
TEST_F(SmtpRelay, OwnerMayReleaseTheObjectFromAnyEvent)
{
    for (const QByteArray &failing : {QByteArray(), QByteArray("MAIL"), QByteArray(".")}) {
        for (int k = 1;; ++k) {
            SCOPED_TRACE(failing.toStdString() + " event " + std::to_string(k));
            FakeSmtpServer &fake = fresh();
            if (!failing.isEmpty())
                fake.script(failing, failing == "." ? Reply::drop() : Reply::text("550 no\r\n"));
            int seen = 0;
            const auto release = [&, k] {
                if (++seen == k)
                    mail.reset();
            };
            auto *object = mail.get();
            QObject::connect(object, &mail::clsEnviarCorreu::Status, release);
            QObject::connect(object, &mail::clsEnviarCorreu::SendFailed, release);
            QObject::connect(object, &mail::clsEnviarCorreu::Progress, release);
            QObject::connect(object, &mail::clsEnviarCorreu::SendSuccesful, release);
            object->Enruta();
            if (mail)
                break; // fewer than k events: each one has been tried
            // The socket control survives and serves the next object.
            fresh();
            mail->Enruta();
            EXPECT_EQ(events->successes, 1);
        }
    }
}

TEST_F(SmtpRelay, WaitingUsesNoProcessorTime)
{
    const auto cpuSeconds = [] {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    server.script("MAIL", Reply::silence());
    const double before = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    mail->Enruta();
    const double used = cpuSeconds() - before;
    EXPECT_EQ(events->failures.size(), 1);
    EXPECT_GE(clock.elapsed(), 4900);
    std::printf("CPU time of a 5-second wait on a silent server: %.3f s\n", used);
    EXPECT_LT(used, 0.2);
}

TEST_F(SmtpRelay, FiftyMegabyteMessageByteExact)
{
    // Lines of 100 octets with CR LF, every byte value in them but CR and LF (a leading "."
    // included).
    QByteArray message = "From: a@b.c\r\nSubject: big\r\n\r\n";
    for (int n = 0; message.size() < 50 * 1024 * 1024; ++n) {
        QByteArray line(98, 'x');
        for (int i = 0; i < 98; ++i)
            line[i] = char((n * 31 + i * 7) & 0xff);
        message += line.replace('\r', 'y').replace('\n', 'y') + "\r\n";
    }
    mail->SetMessage(message);
    mail->SetMessageTimeout(120);
    QElapsedTimer clock;
    clock.start();
    mail->Enruta();
    std::printf("50 MB relayed in %lld ms\n", static_cast<long long>(clock.elapsed()));
    ASSERT_EQ(events->successes, 1) << events->failures.join(u'|').toStdString();
    ASSERT_EQ(server.messages().size(), 1);
    // Exactly the message, dot-stuffed: it ends with its line end, and nothing is added.
    const QByteArray expected = test::relayedData(message);
    EXPECT_EQ(server.messages()[0].size(), expected.size());
    EXPECT_TRUE(server.messages()[0] == expected);
    // Progress rises to 100 without going back.
    ASSERT_GE(events->progress.size(), 3);
    EXPECT_TRUE(std::is_sorted(events->progress.begin(), events->progress.end()));
    EXPECT_EQ(events->progress.last(), 100);
}

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
