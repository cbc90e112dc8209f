// The socket control over TLS against a loopback TLS server with certificates made at test
// time: TLS from the first byte, verification failures as errors, STARTTLS that discards
// what came before the handshake.
#include "platform/socketcontrol.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "support/testcerts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>

namespace vessamo::platform {
namespace {

using test::TestCerts;

bool waitFor(const std::function<bool()> &condition)
{
    return waitUntil(condition, QDeadlineTimer(10000));
}

// Accepts one connection; with TLS from the first byte, or in clear text until
// startTls(), with the given certificate.
class TlsServer : public QTcpServer
{
public:
    TlsServer(TestCerts::Pair pair, bool implicit)
        : pair_(std::move(pair))
        , implicit_(implicit)
    {
        listen(QHostAddress::LocalHost, 0);
    }
    void startTls() { peer->startServerEncryption(); }

    std::unique_ptr<QSslSocket> peer;
    QByteArray received;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        peer = std::make_unique<QSslSocket>();
        peer->setSocketDescriptor(descriptor);
        peer->setLocalCertificate(pair_.certificate);
        peer->setPrivateKey(pair_.key);
        QObject::connect(peer.get(), &QSslSocket::readyRead,
                         [this] { received += peer->readAll(); });
        if (implicit_)
            peer->startServerEncryption();
    }

private:
    TestCerts::Pair pair_;
    bool implicit_;
};

struct Events
{
    explicit Events(SocketControl &socket)
    {
        QObject::connect(&socket, &SocketControl::ConnectEvent, [this] { connected = true; });
        QObject::connect(&socket, &SocketControl::TlsReady, [this] { secured = true; });
        QObject::connect(&socket, &SocketControl::Error,
                         [this](qint16 number, const QString &text) {
                             error = number;
                             errorText = text;
                             ++errors;
                         });
    }
    bool connected = false;
    bool secured = false;
    qint16 error = 0;
    QString errorText;
    int errors = 0;
};

TEST(TlsSocket, ImplicitTlsCarriesTheDialogueAndCountsApplicationBytes)
{
    TlsServer server(TestCerts::get().good(), true);
    SocketControl socket;
    Events events(socket);
    QList<qint32> sent;
    QObject::connect(&socket, &SocketControl::SendProgress,
                     [&](qint32 bytes, qint32) { sent << bytes; });
    socket.SetImplicitTls(true, clientTlsConfiguration(TestCerts::get().caFile()));
    socket.Connect(QStringLiteral("localhost"), server.serverPort());
    ASSERT_TRUE(waitFor([&] { return events.connected || events.error; })) << "no event";
    ASSERT_TRUE(events.connected) << events.errorText.toStdString();
    EXPECT_TRUE(socket.TlsDescription().startsWith(QStringLiteral("TLSv1.")))
        << socket.TlsDescription().toStdString();
    server.peer->write("+OK ready\r\n");
    QByteArray greeting;
    ASSERT_TRUE(waitFor([&] {
        greeting += socket.GetData();
        return greeting == "+OK ready\r\n";
    })) << greeting.toStdString();
    ASSERT_TRUE(socket.SendData("QUIT\r\n"));
    ASSERT_TRUE(waitFor([&] { return server.received == "QUIT\r\n"; }));
    ASSERT_TRUE(waitFor([&] { return !sent.isEmpty(); }));
    EXPECT_EQ(sent.first(), 6);

    // A large write leaves a window at a time, arrives whole and in order before what was
    // written after it, and counts as queued until it is out.
    QByteArray big(3 * 1024 * 1024 + 7, 'x');
    for (qsizetype i = 0; i < big.size(); i += 1000)
        big[i] = char('a' + (i / 1000) % 26);
    server.received.clear();
    ASSERT_TRUE(socket.SendData(big));
    EXPECT_GT(socket.BytesQueued(), 1024 * 1024);
    ASSERT_TRUE(socket.SendData("NOOP\r\n"));
    ASSERT_TRUE(waitFor([&] { return server.received.size() >= big.size() + 6; }));
    EXPECT_TRUE(server.received == big + "NOOP\r\n");
    ASSERT_TRUE(waitFor([&] { return socket.BytesQueued() == 0; }));
    ASSERT_TRUE(waitFor(
        [&] { return std::accumulate(sent.begin(), sent.end(), 0LL) == 6 + big.size() + 6; }));
}

// Every verification failure ends the connection as a TLS error before any byte of the
// dialogue, with the reason in the text.
TEST(TlsSocket, VerificationFailuresAreErrors)
{
    const TestCerts &certs = TestCerts::get();
    struct Row
    {
        const char *name;
        TestCerts::Pair pair;
        QString trusted; // extra CA file
        const char *reason;
    };
    const Row rows[] = {
        {"wrong host", certs.wrongHost(), certs.caFile(), "host name"},
        {"expired", certs.expired(), certs.caFile(), "expired"},
        {"unknown CA", certs.unknownCa(), certs.caFile(), "self-signed"},
        {"test CA not trusted", certs.good(), QString(), "issuer"},
        // RFC 6125 6.4.4: with subject alternative names, the common name does not count.
        {"common name alone matches", certs.commonNameOnlyMatches(), certs.caFile(),
         "alternative names"},
        {"common name alone matches, an address among the names",
         certs.addressInAlternativeNames(), certs.caFile(), "alternative names"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TlsServer server(row.pair, true);
        SocketControl socket;
        Events events(socket);
        socket.SetImplicitTls(true, clientTlsConfiguration(row.trusted));
        socket.Connect(QStringLiteral("localhost"), server.serverPort());
        ASSERT_TRUE(waitFor([&] { return events.connected || events.error; }));
        EXPECT_FALSE(events.connected);
        EXPECT_EQ(events.error, kTlsErrorNumber);
        EXPECT_TRUE(events.errorText.contains(QLatin1String(row.reason), Qt::CaseInsensitive))
            << events.errorText.toStdString();
        // The close that follows a refused handshake is no second failure: once the server
        // has seen the close, every event this end posted is delivered.
        ASSERT_TRUE(waitFor([&] {
            return server.peer && server.peer->state() == QAbstractSocket::UnconnectedState;
        }));
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(events.errors, 1) << events.errorText.toStdString();
    }
}

// The administrator's CAs come on top of the system's, never instead of them (a list set by
// hand turns Qt's own loading of the system's CAs off), and a file written later counts.
TEST(TlsSocket, ExtraCaFileAddsToTheSystemsCas)
{
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    ASSERT_FALSE(system.isEmpty()) << "no system CAs: is ca-certificates installed?";
    const QSslCertificate testCa = QSslCertificate::fromPath(TestCerts::get().caFile()).value(0);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ca.pem"));
    EXPECT_TRUE(clientTlsConfiguration(path).caCertificates().isEmpty()); // none: on demand
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(testCa.toPem());
    file.close();
    const QList<QSslCertificate> trusted = clientTlsConfiguration(path).caCertificates();
    EXPECT_TRUE(trusted.contains(testCa));
    EXPECT_TRUE(trusted.contains(system.first()) && trusted.contains(system.last()));
}

// The common name counts only in a certificate without subject alternative names; an
// address typed as the host is found among the alternative names' addresses.
TEST(TlsSocket, NamesThatAreAccepted)
{
    const TestCerts &certs = TestCerts::get();
    const std::pair<TestCerts::Pair, const char *> rows[] = {
        {certs.good(), "localhost"},
        {certs.commonNameOnly(), "localhost"},
        {certs.addressInAlternativeNames(), "127.0.0.1"},
    };
    for (const auto &[pair, host] : rows) {
        SCOPED_TRACE(pair.certificate.subjectAlternativeNames().values().join(u',').toStdString());
        TlsServer server(pair, true);
        SocketControl socket;
        Events events(socket);
        socket.SetImplicitTls(true, clientTlsConfiguration(TestCerts::get().caFile()));
        socket.Connect(QLatin1String(host), server.serverPort());
        ASSERT_TRUE(waitFor([&] { return events.connected || events.error; }));
        EXPECT_TRUE(events.connected) << events.errorText.toStdString();
    }
}

// The names a certificate's subject alternative names stand for: the same name in any
// case, with or without the final dot, in ASCII form; a wildcard for one whole first
// label only; an address for an address entry only. No names: nothing to say (Qt's own
// check of the common name holds).
TEST(TlsSocket, AlternativeNamesMatch)
{
    const TestCerts &certs = TestCerts::get();
    const std::tuple<QSslCertificate, const char *, bool> rows[] = {
        {certs.good().certificate, "LOCALHOST", true},
        {certs.good().certificate, "localhost.", true},
        {certs.good().certificate, "localhost.example", false},
        {certs.wrongHost().certificate, "localhost", false},
        {certs.addressInAlternativeNames().certificate, "mail.example.org", true},
        {certs.addressInAlternativeNames().certificate, "b\u00fccher.example.org", true},
        {certs.addressInAlternativeNames().certificate, "a.mail.example.org", false},
        {certs.addressInAlternativeNames().certificate, "example.org", false},
        {certs.addressInAlternativeNames().certificate, "127.0.0.1", true},
        {certs.addressInAlternativeNames().certificate, "127.0.0.2", false},
        {certs.addressInAlternativeNames().certificate, "localhost", false},
        {certs.commonNameOnly().certificate, "anything.example", true},
    };
    for (const auto &[certificate, host, matches] : rows)
        EXPECT_EQ(matchesAlternativeNames(certificate, QString::fromUtf8(host)), matches) << host;
}

// A session ticket goes back only to the host name and port it came from, and only under
// the trust its certificate was verified with.
TEST(TlsSocket, SessionTicketsStayWithTheirServerAndTrust)
{
    const TestCerts &certs = TestCerts::get();
    const QSslCertificate peer = certs.good().certificate;
    const QSslConfiguration trusting = clientTlsConfiguration(certs.caFile());
    const QSslConfiguration system = clientTlsConfiguration(QString());
    keepSessionTicket(trusting, QStringLiteral("mail.example.org"), 465, "ticket-465", peer);
    keepSessionTicket(trusting, QStringLiteral("mail.example.org"), 995, "ticket-995", peer);
    const auto ticket = [&](const QSslConfiguration &tls, const char *host, quint16 port) {
        return withSessionTicket(tls, QLatin1String(host), port).sessionTicket();
    };
    EXPECT_EQ(ticket(trusting, "MAIL.example.org", 465), "ticket-465");
    EXPECT_EQ(ticket(trusting, "mail.example.org", 995), "ticket-995");
    EXPECT_TRUE(ticket(trusting, "mail.example.org", 587).isEmpty());
    EXPECT_TRUE(ticket(trusting, "other.example.org", 465).isEmpty());
    EXPECT_TRUE(ticket(system, "mail.example.org", 465).isEmpty()) << "trust changed";

    // A resumed session stands for the certificate verified when its ticket was kept,
    // under the same trust, while that certificate is valid.
    const QString host = QStringLiteral("localhost");
    keepSessionTicket(trusting, host, 995, "t", peer);
    keepSessionTicket(trusting, host, 465, "t", certs.expired().certificate);
    EXPECT_EQ(peerProblem(trusting, host, 995, peer, true), QString());
    EXPECT_EQ(peerProblem(system, host, 995, peer, false), QString()) << "Qt verified it";
    for (const auto &[tls, port, certificate] :
         {std::tuple(system, 995, peer), std::tuple(trusting, 995, certs.commonNameOnly().certificate),
          std::tuple(trusting, 587, peer), std::tuple(trusting, 465, certs.expired().certificate)})
        EXPECT_TRUE(peerProblem(tls, host, quint16(port), certificate, true)
                        .startsWith(u"a resumed session"))
            << port;
    forgetSessionTicket(host, 995);
    EXPECT_FALSE(peerProblem(trusting, host, 995, peer, true).isEmpty());
}

// openssl s_server, answering each connection with a page that says whether its session
// was new or resumed. Unlike a QSslSocket server it keeps one ticket key for every
// connection, so sessions are resumed as by a real mail server.
class ResumingServer
{
public:
    explicit ResumingServer(const TestCerts::Pair &pair)
    {
        const auto write = [this](const char *name, const QByteArray &pem) {
            QFile file(dir_.filePath(QLatin1String(name)));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(pem);
        };
        write("cert.pem", pair.certificate.toPem());
        write("key.pem", pair.key.toPem());
        process_.setWorkingDirectory(dir_.path());
        process_.start(QStringLiteral("openssl"),
                       {QStringLiteral("s_server"), QStringLiteral("-accept"),
                        QStringLiteral("127.0.0.1:0"), QStringLiteral("-cert"),
                        QStringLiteral("cert.pem"), QStringLiteral("-key"), QStringLiteral("key.pem"),
                        QStringLiteral("-www")});
        QByteArray out;
        waitFor([&] {
            out += process_.readAllStandardOutput();
            const qsizetype at = out.indexOf("ACCEPT 127.0.0.1:");
            if (at < 0 || !out.contains('\n'))
                return process_.state() == QProcess::NotRunning;
            port = quint16(out.mid(at + 17, out.indexOf('\n', at) - at - 17).trimmed().toUInt());
            return true;
        });
    }
    ~ResumingServer()
    {
        process_.kill();
        process_.waitForFinished();
    }

    // One connection: its page, or the error that ended it before the connection came.
    QString fetch(const QSslConfiguration &tls)
    {
        SocketControl socket;
        Events events(socket);
        bool closed = false;
        QObject::connect(&socket, &SocketControl::CloseEvent, [&] { closed = true; });
        socket.SetImplicitTls(true, tls);
        socket.Connect(QStringLiteral("localhost"), port);
        if (!waitFor([&] { return events.connected || events.error; }) || !events.connected)
            return QStringLiteral("error %1: %2").arg(events.error).arg(events.errorText);
        socket.SendData("GET / HTTP/1.0\r\n\r\n");
        QByteArray page;
        waitFor([&] {
            page += socket.GetData();
            return page.contains("</HTML>") || closed || events.error;
        });
        return QString::fromLatin1(page);
    }

    quint16 port = 0;

private:
    QTemporaryDir dir_;
    QProcess process_;
};

// After the extra CA file stops trusting a server's CA, its session is not resumed: the
// next connection verifies the server again and fails. A ticket kept before the change and
// offered all the same is resumed by the server, and refused here before a byte is sent.
TEST(TlsSocket, ResumedSessionsOnlyUnderTheTrustTheyWereVerifiedWith)
{
    const TestCerts &certs = TestCerts::get();
    ResumingServer server(certs.good());
    ASSERT_NE(server.port, 0) << "openssl s_server did not start";
    QTemporaryDir dir;
    const QString caFile = dir.filePath(QStringLiteral("ca.pem"));
    const auto trust = [&](const TestCerts::Pair &ca, int age) {
        QFile file(caFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(ca.certificate.toPem());
        file.setFileTime(QDateTime::currentDateTime().addSecs(age),
                         QFileDevice::FileModificationTime);
    };
    const TestCerts::Pair testCa {QSslCertificate::fromPath(certs.caFile()).value(0), {}};
    trust(testCa, -60);
    const QSslConfiguration trusting = clientTlsConfiguration(caFile);
    EXPECT_TRUE(server.fetch(trusting).contains(u"New, TLS"));
    const QString again = server.fetch(clientTlsConfiguration(caFile));
    EXPECT_TRUE(again.contains(u"Reused, TLS")) << again.toStdString();
    const QByteArray ticket = withSessionTicket(trusting, QStringLiteral("localhost"), server.port)
                                  .sessionTicket();
    ASSERT_FALSE(ticket.isEmpty());

    trust(certs.unknownCa(), 0); // the test CA is no longer trusted
    const QSslConfiguration distrusting = clientTlsConfiguration(caFile);
    EXPECT_TRUE(server.fetch(distrusting).startsWith(u"error 10100: TLS: "))
        << server.fetch(distrusting).toStdString();
    QSslConfiguration offered = distrusting;
    offered.setSessionTicket(ticket);
    const QString resumed = server.fetch(offered);
    EXPECT_TRUE(resumed.startsWith(u"error 10100: TLS: a resumed session")) << resumed.toStdString();
}

// What the server sent after its STARTTLS reply, in the same packet, never comes out of
// the connection: only what it sends inside TLS does.
TEST(TlsSocket, StartTlsDiscardsWhatCameBeforeTheHandshake)
{
    TlsServer server(TestCerts::get().good(), false);
    SocketControl socket;
    Events events(socket);
    socket.Connect(QStringLiteral("localhost"), server.serverPort());
    ASSERT_TRUE(waitFor([&] { return events.connected && server.peer; }));
    // The reply and the injected line arrive together; the client starts TLS having read
    // neither (a session takes its reply line from what it read; the rest is never read).
    bool arrived = false;
    QObject::connect(&socket, &SocketControl::DataArrival, [&] { arrived = true; });
    server.peer->write("220 go ahead\r\n250 injected\r\n");
    ASSERT_TRUE(waitFor([&] { return arrived; }));
    ASSERT_TRUE(socket.StartTls(clientTlsConfiguration(TestCerts::get().caFile())));
    server.startTls();
    ASSERT_TRUE(waitFor([&] { return events.secured || events.error; }));
    ASSERT_TRUE(events.secured) << events.errorText.toStdString();
    server.peer->write("250 real\r\n");
    QByteArray got;
    ASSERT_TRUE(waitFor([&] {
        got += socket.GetData();
        return got.contains("250 real");
    }));
    EXPECT_EQ(got, "250 real\r\n");
}

} // namespace
} // namespace vessamo::platform
