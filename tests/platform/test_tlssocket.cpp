// The socket control over TLS against a loopback TLS server with certificates made at test
// time: TLS from the first byte, verification failures as errors, STARTTLS that discards
// what came before the handshake.
#include "platform/socketcontrol.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "support/testcerts.h"

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
                         });
    }
    bool connected = false;
    bool secured = false;
    qint16 error = 0;
    QString errorText;
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

// A session ticket goes back only to the host name and port it came from.
TEST(TlsSocket, SessionTicketsStayWithTheirServer)
{
    keepSessionTicket(QStringLiteral("mail.example.org"), 465, "ticket-465");
    keepSessionTicket(QStringLiteral("mail.example.org"), 995, "ticket-995");
    const QSslConfiguration base = clientTlsConfiguration(QString());
    const auto ticket = [&](const char *host, quint16 port) {
        return withSessionTicket(base, QLatin1String(host), port).sessionTicket();
    };
    EXPECT_EQ(ticket("MAIL.example.org", 465), "ticket-465");
    EXPECT_EQ(ticket("mail.example.org", 995), "ticket-995");
    EXPECT_TRUE(ticket("mail.example.org", 587).isEmpty());
    EXPECT_TRUE(ticket("other.example.org", 465).isEmpty());
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
