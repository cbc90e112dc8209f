// Relay of a stored message (Enruta) through a real loopback socket: the bytes on the
// wire, split replies, unsafe addresses, release of the object from its own events, a
// 50 MB message, a message file read in blocks (byte exact, a read failure, a server that
// stops reading); then the login, the POP3 login before sending and the MX lookup when no
// host is set.
#include "smtptestkit.h"
#include "support/fakedns.h"
#include "support/fakepop3.h"
#include "support/mailwire.h"
#include "support/pycheck.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QTimer>
#include <algorithm>
#include <cstring>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::FakeSmtpServer;
using Reply = test::FakeSmtpServer::Reply;

using SmtpRelay = test::SmtpTest;

// Only the first recipient is used: a second one would be a copy nobody asked for.
TEST_F(SmtpRelay, ExactByteStreamAndEvents)
{
    mail->SetRecipient(u"joan@example.net;pere@example.net"_s);
    mail->Enruta();
    EXPECT_EQ(server.received(),
              QByteArray("HELO example.org\r\nMAIL FROM: <ana@example.org>\r\n"
                         "RCPT TO: <joan@example.net>\r\nDATA\r\n"
                         "Subject: x\r\n\r\nhello\r\n.\r\nQUIT\r\n"));
    expectDeliveredOnce();
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
    const std::pair<QByteArray, QByteArray> rows[] = {
        {".x\r\n\r\n.\r\n..y\r\n\xe9t\xe9 \xff\r\nend",
         "..x\r\n\r\n..\r\n...y\r\n\xe9t\xe9 \xff\r\nend\r\n"},
        {"a\n.\nMAIL FROM:<evil@x.y>\r\nb", "a\r\n..\r\nMAIL FROM:<evil@x.y>\r\nb\r\n"},
        {"a\r.\rQUIT\r\nb", "a\r\n..\r\nQUIT\r\nb\r\n"},
        {"x\r\n.\n\r\n", "x\r\n..\r\n\r\n"},
        {line + "\r\n\r\nbody\r\n", "Subject:\r\n " + a + "\r\n tail\r\n\r\nbody\r\n"},
        {"X: y\r\n\r\n" + line + "\r\n", "X: y\r\n\r\nSubject: \r\n" + a + " \r\ntail\r\n"},
        // A header line without a blank: the cut gets a blank in front, which makes the
        // rest a continuation of the field; in the body a line is cut as it is.
        {"X:" + QByteArray(1000, 'b') + "\r\nY: z\r\n\r\n" + QByteArray(1000, 'c') + "\r\n",
         "X:" + QByteArray(996, 'b') + "\r\n bbbb\r\nY: z\r\n\r\n" + QByteArray(998, 'c')
             + "\r\ncc\r\n"},
        {"X:" + QByteArray(2500, 'b') + "\r\n\r\n",
         "X:" + QByteArray(996, 'b') + "\r\n " + QByteArray(997, 'b') + "\r\n "
             + QByteArray(507, 'b') + "\r\n\r\n"},
    };
    for (const auto &[message, data] : rows) {
        SCOPED_TRACE(message.left(40).toStdString());
        FakeSmtpServer &fake = fresh();
        mail->SetMessage(message);
        mail->Enruta();
        EXPECT_EQ(fake.messages(), QList<QByteArray> {data});
        EXPECT_EQ(fake.commands().size(), 5); // HELO MAIL RCPT DATA QUIT: nothing smuggled
        EXPECT_EQ(events->successes, 1);
    }
    // A 5,000-octet header line with no blank: Python's email package still finds every
    // header after it, and the body where it was.
    FakeSmtpServer &fake = fresh();
    mail->SetMessage("X-Long: " + QByteArray(5000, 'x')
                     + "\r\nSubject: s\r\nX-After: a\r\n\r\nbody\r\n");
    mail->Enruta();
    ASSERT_EQ(fake.messages().size(), 1);
    const auto read = test::runPython(test::kMessageSummary, fake.messages().first());
    ASSERT_EQ(read.status, 0) << read.out.toStdString();
    const QJsonObject s = QJsonDocument::fromJson(read.out).object();
    const QJsonObject headers = s[u"headers"_s].toObject();
    EXPECT_EQ(headers[u"Subject"_s], u"s"_s);
    EXPECT_EQ(headers[u"X-After"_s], u"a"_s);
    EXPECT_EQ(headers[u"X-Long"_s].toString().remove(u' ').size(), 5000);
    EXPECT_EQ(QByteArray::fromBase64(
                  s[u"parts"_s].toArray()[0].toObject()[u"payload"_s].toString().toLatin1()),
              "body\r\n");
    EXPECT_TRUE(s[u"defects"_s].toArray().isEmpty());
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
    logInAs();
    mail->Enruta();
    EXPECT_TRUE(events->failures.isEmpty()) << events->failures.join(u'|').toStdString();
    EXPECT_EQ(events->successes, 1);
    EXPECT_TRUE(server.commands().contains("AUTH LOGIN"));
}

TEST_F(SmtpRelay, LineBreaksInAddressesAreRefusedBeforeAnyTraffic)
{
    const std::pair<const char *, const char *> rows[] = {
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
        EXPECT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures.value(0).contains(u"Invalid character"));
        EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Permanent);
        EXPECT_EQ(fake.connections(), 0);
    }
}

TEST_F(SmtpRelay, EmptyRecipientListFailsAfterMailFrom)
{
    mail->SetRecipient(QString());
    mail->Enruta();
    EXPECT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures.value(0).endsWith(u"Subscript out of range\r\n"));
    EXPECT_EQ(server.commands().size(), 3); // HELO MAIL QUIT
    EXPECT_EQ(server.commands().last(), QByteArray("QUIT"));
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
            using M = mail::clsEnviarCorreu;
            if (!releasedAtEvent(
                    k, [](M &object) { object.Enruta(); }, &M::Status, &M::SendFailed, &M::Progress,
                    &M::SendSuccesful))
                break; // fewer than k events: each one has been tried
            // The socket control survives and serves the next object.
            fresh();
            mail->Enruta();
            EXPECT_EQ(events->successes, 1);
        }
    }
}

// Every byte value but CR and LF, in lines of 100 octets (some begin with "."): the
// message arrives exactly, dot-stuffed, and the progress rises to 100 without going back.
TEST_F(SmtpRelay, FiftyMegabyteMessageByteExact)
{
    QByteArray message = "Subject: big\r\n\r\n";
    for (int n = 0; message.size() < 50 * 1024 * 1024; ++n) {
        QByteArray line(98, 'x');
        for (int i = 0; i < 98; ++i)
            line[i] = char((n * 31 + i * 7) & 0xff);
        message += line.replace('\r', 'y').replace('\n', 'y') + "\r\n";
    }
    mail->SetMessage(message);
    mail->SetMessageTimeout(120);
    mail->Enruta();
    ASSERT_EQ(server.messages().size(), 1) << events->failures.join(u'|').toStdString();
    EXPECT_TRUE(server.messages()[0] == test::relayedData(message)); // no 50 MB diff printed
    EXPECT_GE(events->progress.size(), 3);
    EXPECT_TRUE(std::ranges::is_sorted(events->progress));
    EXPECT_EQ(events->progress.last(), 100);
}

namespace {

// A message of whole lines up to offset `at` (the last one ends there with its CR LF).
void fillTo(QByteArray &message, qsizetype at)
{
    while (at - message.size() > 1000)
        message += QByteArray(98, 'x') + "\r\n";
    message += QByteArray(at - message.size() - 2, 'y') + "\r\n";
}

// Reads like a file until `failAt`, then fails.
class FailingDevice : public QIODevice
{
public:
    FailingDevice(QByteArray data, qint64 failAt)
        : data_(std::move(data))
        , failAt_(failAt)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 size() const override { return data_.size(); }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        if (pos() >= failAt_)
            return -1;
        const qint64 n = std::min({max, failAt_ - pos(), qint64(data_.size()) - pos()});
        std::memcpy(out, data_.constData() + pos(), size_t(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 failAt_;
};

} // namespace

// A stored message read from its file block by block, with lines cut at the block edges:
// a dot at an edge, a CR at the end of one block and its LF at the start of the next, a
// 998-octet line and a longer one across edges, a bare LF at an edge, a last line without
// its line end. The server gets exactly what the whole message gives.
TEST_F(SmtpRelay, MessageFileReadInBlocksByteExact)
{
    constexpr qsizetype kBlock = mail::kRelayBlock;
    QByteArray message = "Received: x\r\nFrom: <a@b.c>\r\nSubject: blocks\r\n\r\n";
    fillTo(message, kBlock);
    message += ".a dot at the edge\r\n";
    fillTo(message, 2 * kBlock + 1);
    message += ".\r\n";
    fillTo(message, 3 * kBlock - 500);
    message += QByteArray(998, 'z') + "\r\n";
    fillTo(message, 4 * kBlock - 700);
    message += QByteArray(1500, 'w') + "\r\n";
    fillTo(message, 5 * kBlock - 5);
    message += "bare\n.after it\r\nthe last line";
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    ASSERT_EQ(file.write(message), message.size());
    ASSERT_TRUE(file.seek(0));
    mail->SetMessage(QByteArray());
    mail->SetMessageSource(&file);
    mail->Enruta();
    mail::DataSection whole;
    const QByteArray expected = whole.encode(mail::PrepareMessage(message)) + "\r\n";
    ASSERT_EQ(server.messages().size(), 1) << events->failures.join(u'|').toStdString();
    EXPECT_TRUE(server.messages()[0] == expected); // no 300 KB diff printed
    EXPECT_EQ(server.commands().size(), 5); // HELO MAIL RCPT DATA QUIT
    expectDeliveredOnce();
}

// A message that cannot be read to its end is never ended: the server gets no end of data,
// so it holds nothing, and the failure may pass.
TEST_F(SmtpRelay, MessageFileThatFailsToBeReadIsNeverEnded)
{
    QByteArray message = "From: <a@b.c>\r\n\r\n";
    fillTo(message, 3 * mail::kRelayBlock);
    FailingDevice device(message, mail::kRelayBlock + mail::kRelayBlock / 2);
    mail->SetMessageSource(&device);
    mail->Enruta();
    EXPECT_TRUE(server.messages().isEmpty());
    ASSERT_EQ(events->failures.size(), 1);
    EXPECT_TRUE(events->failures[0].startsWith(u"Cannot read the message: "))
        << events->failures[0].toStdString();
    EXPECT_EQ(events->successes, 0);
    EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Temporary);
}

// A server that stops reading during the data: the message waits in its file, not in the
// socket's queue. When the server reads again the rest follows, byte exact; when it never
// does, the time-out ends the transaction before its end of data, so the failure may pass.
TEST_F(SmtpRelay, MessageFileToAServerThatStopsReading)
{
    QByteArray message = "From: <a@b.c>\r\n\r\n";
    fillTo(message, 12 << 20);
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    ASSERT_EQ(file.write(message), message.size());
    for (const bool resumes : {true, false}) {
        SCOPED_TRACE(resumes ? "resumes" : "stalls");
        FakeSmtpServer &fake = fresh();
        mail->SetMessageTimeout(2);
        mail->SetMessageSource(&file);
        qint64 mostQueued = 0;
        const QObject watch; // the count is watched for this row only
        QObject::connect(&socket, &platform::SocketControl::SendProgress, &watch,
                         [&] { mostQueued = std::max(mostQueued, socket.BytesQueued()); });
        fake.stallAfter("DATA", resumes ? 1500 : -1);
        mail->Enruta();
        EXPECT_LE(mostQueued, 8 * mail::kRelayBlock);
        if (resumes) {
            ASSERT_EQ(fake.messages().size(), 1) << events->failures.join(u'|').toStdString();
            EXPECT_TRUE(fake.messages()[0] == test::relayedData(message));
            continue;
        }
        EXPECT_TRUE(fake.messages().isEmpty());
        EXPECT_EQ(
            events->failures,
            QStringList {u"Timeout occurred: The SMTP Host did not respond to the request\r\n"_s});
        EXPECT_EQ(mail->Outcome(), mail::RelayOutcome::Temporary);
    }
}

using SmtpSession = test::SmtpTest;

TEST_F(SmtpSession, EhloReplyDecidesLoginAndMailFrom)
{
    const std::tuple<QByteArray, bool, QByteArray> rows[] = {
        {"250-fake\r\n250 AUTH=LOGIN\r\n", true,
         "MAIL FROM: <ana@example.org> AUTH=ana@example.org"},
        {"250-fake\r\n250 AUTH LOGIN PLAIN\r\n", true, "MAIL FROM: <ana@example.org>"},
        {"250-fake\r\n250 SIZE 1000\r\n", false, "MAIL FROM: <ana@example.org>"},
    };
    for (const auto &[ehlo, login, mailFrom] : rows) {
        SCOPED_TRACE(ehlo.toStdString());
        FakeSmtpServer &fake = fresh();
        fake.setEhloReply(ehlo);
        logInAs();
        mail->Enruta();
        EXPECT_EQ(events->successes, 1);
        EXPECT_TRUE(fake.commands().contains("EHLO example.org"));
        EXPECT_EQ(fake.commands().contains("AUTH LOGIN"), login);
        EXPECT_TRUE(fake.commands().contains(mailFrom));
    }
}

// A challenge is answered by what it asks for, "Username:" or "User Name" alike (the
// LOGIN draft's form, used by aiosmtpd), and anything else with a star.
TEST_F(SmtpSession, ChallengesAreAnsweredByWhatTheyAskFor)
{
    const std::pair<QByteArray, QByteArray> rows[] = {
        {"334 VXNlciBOYW1lAA==\r\n", "AUTH LOGIN\r\nYW5h\r\n"},
        {"334 !!!not base64###\r\n", "AUTH LOGIN\r\n\r\n*\r\n"},
    };
    for (const auto &[challenge, answered] : rows) {
        SCOPED_TRACE(challenge.toStdString());
        FakeSmtpServer &fake = fresh();
        fake.script("AUTH", Reply::text(challenge));
        logInAs();
        mail->Enruta();
        EXPECT_TRUE(fake.received().contains(answered));
        // What follows depends on the server; never more than one report.
        EXPECT_LE(events->failures.size(), 1);
    }
}

// Without an SMTP host the exchanger of the default domain takes its place. (The router
// refuses to start without one: a smoke test.)
TEST_F(SmtpSession, MissingHostIsLookedUpAsMailExchanger)
{
    test::FakeDns dns;
    dns.script = {{test::dnsReply(u"example.cat"_s, {test::mxRecord(10, u"127.0.0.1"_s)})}};
    dns::DnsServers servers {{u"127.0.0.1"_s}, u"example.cat"_s, {}};
    dns::MxQueryOptions options;
    options.servers = &servers;
    options.port = dns.port();
    mail->SetSMTPHost(QString());
    mail->SetMxQueryOptions(options);
    mail->Enruta();
    EXPECT_TRUE(events->statuses.contains(u"Performing MX Query"_s));
    EXPECT_EQ(server.messages().size(), 1);
}

// Some servers take mail only after a POP3 login from the same address: USER, PASS and
// QUIT to the POP3 server first, then the SMTP session. A refused login, or one without a
// POP3 host, is reported and nothing reaches the SMTP server.
TEST_F(SmtpSession, Pop3LoginBeforeSending)
{
    const std::tuple<const char *, QString, QByteArray, const char *> rows[] = {
        {"accepted", u"127.0.0.1"_s, "secret", nullptr},
        {"refused", u"127.0.0.1"_s, "wrong", "-ERR"},
        {"no host", QString(), "secret", "Invalid or Missing POP3 Host Name"},
    };
    for (const auto &[name, host, password, failure] : rows) {
        SCOPED_TRACE(name);
        FakeSmtpServer &fake = fresh();
        test::FakePop3 pop3;
        mail->SetUsePopAuthentication(true);
        mail->SetPOP3Host(host);
        mail->SetPOP3Port(pop3.port());
        mail->SetUserName(u"usuari"_s);
        mail->SetPassword(QString::fromLatin1(password));
        mail->Enruta();
        const QList<QByteArray> login {"USER usuari", "PASS " + password, "QUIT"};
        EXPECT_EQ(pop3.commands(), host.isEmpty() ? QList<QByteArray>() : login);
        if (!failure) {
            EXPECT_TRUE(events->statuses.join(u'|').startsWith(
                u"Connecting to POP3 Server (127.0.0.1)...|POP3 Authentication Successful...|"
                "Connecting to SMTP Server (127.0.0.1)...|"_s));
            EXPECT_EQ(fake.messages().size(), 1);
            EXPECT_EQ(events->successes, 1);
            continue;
        }
        ASSERT_EQ(events->failures.size(), 1);
        EXPECT_TRUE(events->failures[0].contains(QString::fromLatin1(failure)));
        EXPECT_EQ(fake.connections(), 0);
        EXPECT_EQ(socket.State(), 0);
    }
}
