// POP3 over TLS from the first byte, chosen by port 995: the fake server listens on the
// real port (as root), with certificates made at test time. Also the logins that happen only
// inside TLS: the access-token mechanisms, and auto's USER/PASS when no SASL is offered.
#include "platform/socketcontrol.h"
#include "routing/pop3session.h"
#include "support/fakepop3.h"
#include "support/mailfolders.h"
#include "support/recordingview.h"
#include "support/tempenv.h"
#include "support/testcerts.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

using namespace vessamo;
using namespace Qt::StringLiterals;
using test::TestCerts;

namespace {

TEST(Pop3Tls, Port995IsTlsVerifiedAndNeverFallsBackToClearText)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "port 995 needs root";
    const TestCerts &certs = TestCerts::get();
    const test::ScopedEnv ca("VESSAMO_CA_FILE", QFile::encodeName(certs.caFile()));
    struct Row
    {
        const char *name;
        TestCerts::Pair pair;
        const char *logged; // empty: the mail is fetched
    };
    const Row rows[] = {
        {"verified", certs.good(), ""},
        {"wrong host", certs.wrongHost(), "host name"},
        {"expired", certs.expired(), "expired"},
        {"unknown CA", certs.unknownCa(), "self-signed"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::MailFolders folders;
        test::FakePop3 server;
        server.setTls(row.pair.certificate, row.pair.key, true);
        ASSERT_TRUE(server.listenOn(QHostAddress::LocalHost, 995))
            << "port 995 is held by another program (a system mail server?)";
        server.addMessage("From: a@b.cat\r\n\r\none\r\n");
        config::Configuration &configuration = folders.configuration;
        configuration.Busties = {{u"localhost"_s, 995, u"usuari"_s, u"secret"_s, u"x@y.cat"_s}};
        configuration.Configuracio.NumBusties = 1;
        test::RecordingView view;
        routing::RunContext ctx {view, configuration};
        platform::SocketControl socket;
        routing::Pop3Session session {socket, ctx};
        session.LlegirBustia(configuration.Busties[0]);
        const QString log = folders.logged().join(u'\n');
        if (*row.logged == 0) {
            EXPECT_TRUE(server.messages().isEmpty());
            EXPECT_TRUE(view.statuses.value(0).startsWith(u"TLS established: TLSv1."_s))
                << view.statuses.join(u'\n').toStdString();
            EXPECT_TRUE(log.isEmpty()) << log.toStdString();
        } else {
            // Nothing was said in clear text: no command reached the server.
            EXPECT_TRUE(server.commands().isEmpty());
            EXPECT_EQ(server.messages().size(), 1);
            EXPECT_TRUE(folders.files(folders.queue()).isEmpty());
            EXPECT_TRUE(log.contains(QLatin1String(row.logged), Qt::CaseInsensitive))
                << log.toStdString();
        }
    }
}

// A server on 995 that closes (or resets) the connection during the handshake ends that
// mailbox's session at once with an entry that says so; the next mailbox is read. The
// silence limit is set to 6 s, so a session that waited for it would log that instead.
TEST(Pop3Tls, CloseDuringTheHandshakeEndsTheSessionAtOnce)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "port 995 needs root";
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        test::MailFolders folders;
        QTcpServer closing;
        ASSERT_TRUE(closing.listen(QHostAddress::LocalHost, 995))
            << "port 995 is held by another program (a system mail server?)";
        std::unique_ptr<QTcpSocket> peer;
        // The client's hello is read, then the connection ends without an answer.
        QObject::connect(&closing, &QTcpServer::newConnection, [&] {
            peer.reset(closing.nextPendingConnection());
            QObject::connect(peer.get(), &QTcpSocket::readyRead, [&] {
                peer->readAll();
                if (reset) {
                    const linger now {1, 0};
                    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                                 sizeof now);
                }
                peer->close();
            });
        });
        test::FakePop3 next;
        next.addMessage("From: a@b.cat\r\n\r\nnext\r\n");
        config::Configuration &configuration = folders.configuration;
        configuration.Busties
            = {{u"localhost"_s, 995, u"usuari"_s, u"secret"_s, u"x@y.cat"_s},
               {u"127.0.0.1"_s, qint16(next.port()), u"usuari"_s, u"secret"_s, u"x@y.cat"_s}};
        configuration.Configuracio.NumBusties = 2;
        test::RecordingView view;
        routing::RunContext ctx {view, configuration};
        platform::SocketControl socket;
        routing::Pop3Session session {socket, ctx};
        session.setSafetyTickMs(100);
        session.LlegirBustia(configuration.Busties[0]);
        session.LlegirBustia(configuration.Busties[1]);
        EXPECT_EQ(folders.logged(),
                  QStringList {u"Rebent Winsock: 10053: TLS: the server closed the connection "
                               u"during the TLS handshake"_s});
        EXPECT_TRUE(next.messages().isEmpty());
        EXPECT_EQ(folders.files(folders.queue()).size(), 2);
    }
}

// Inside TLS: a token is asked for only once a token mechanism is chosen and goes out only
// there; a refused token's JSON explanation reaches the event log; a token that cannot be
// had ends the session before anything is sent; auto without SASL falls back to USER/PASS.
TEST(Pop3Tls, LoginsInsideTls)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "port 995 needs root";
    const TestCerts &certs = TestCerts::get();
    const test::ScopedEnv ca("VESSAMO_CA_FILE", QFile::encodeName(certs.caFile()));
    using Source = std::function<std::optional<QString>(QString &)>;
    const Source good = [](QString &) { return std::optional<QString>(u"ya29.good-token"_s); };
    const Source failing = [](QString &error) {
        error = u"the refresh token was revoked; enrol the account again"_s;
        return std::optional<QString>();
    };
    const Source slow = [](QString &) {
        QEventLoop wait;
        QTimer::singleShot(300, &wait, &QEventLoop::quit);
        wait.exec();
        return std::optional<QString>(u"ya29.good-token"_s);
    };
    struct Row
    {
        const char *name;
        QString method;
        Source token;
        QByteArray offered; // none: CAPA refused
        QList<QByteArray> commands; // before STAT
        QString logged; // the one entry's beginning; empty: fetched
    };
    const QByteArray xoauth2 = "AUTH XOAUTH2 "
        + QByteArray("user=usuari\x01"
                     "auth=Bearer ya29.good-token\x01\x01")
              .toBase64();
    const Row rows[] = {
        {"XOAUTH2", u"XOAUTH2"_s, good, "PLAIN XOAUTH2", {"CAPA", xoauth2}, {}},
        {"auto with a token: OAUTHBEARER first",
         u"auto"_s,
         good,
         "XOAUTH2 OAUTHBEARER PLAIN",
         {"CAPA",
          "AUTH OAUTHBEARER "
              + QByteArray("n,a=usuari,\x01"
                           "host=localhost\x01"
                           "port=995\x01"
                           "auth=Bearer ya29.good-token\x01\x01")
                    .toBase64()},
         {}},
        {"XOAUTH2, the token refused",
         u"XOAUTH2"_s,
         [](QString &) { return std::optional<QString>(u"ya29.stale"_s); },
         "XOAUTH2",
         {"CAPA",
          "AUTH XOAUTH2 "
              + QByteArray("user=usuari\x01"
                           "auth=Bearer ya29.stale\x01\x01")
                    .toBase64(),
          ""},
         u"Rebent: -ERR [AUTH] Authentication failed. (The server refused the access token "
         u"(status 401, scope https://mail.example/))"_s},
        {"no token to be had",
         u"XOAUTH2"_s,
         failing,
         "XOAUTH2",
         {"CAPA"},
         u"Rebent: no hi ha testimoni d'accés per a usuari a localhost: the refresh token was revoked; "
         u"enrol the account again"_s},
        // The source takes its time; the server gives up meanwhile.
        {"the server speaks while the token is fetched",
         u"XOAUTH2"_s,
         slow,
         "XOAUTH2 idle",
         {"CAPA"},
         u"Rebent: -ERR Disconnected for inactivity.\r\n"_s},
        {"auto inside TLS, CAPA refused: USER/PASS",
         u"auto"_s,
         nullptr,
         {},
         {"CAPA", "USER usuari", "PASS secret"},
         {}},
        {"auto inside TLS, no mechanism for a password: USER/PASS",
         u"auto"_s,
         nullptr,
         "GSSAPI XOAUTH2",
         {"CAPA", "USER usuari", "PASS secret"},
         {}},
        {"auto inside TLS, PLAIN allowed",
         u"auto"_s,
         nullptr,
         "LOGIN PLAIN",
         {"CAPA", "AUTH PLAIN " + QByteArray("\0usuari\0secret", 14).toBase64()},
         {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::MailFolders folders;
        test::FakePop3 server;
        server.setTls(certs.good().certificate, certs.good().key, true);
        ASSERT_TRUE(server.listenOn(QHostAddress::LocalHost, 995))
            << "port 995 is held by another program (a system mail server?)";
        server.addMessage("From: a@b.cat\r\n\r\none\r\n");
        server.setAccessToken("ya29.good-token");
        if (row.offered.isEmpty()) {
            server.play("C: CAPA\nS: -ERR no capabilities");
        } else if (row.offered.endsWith(" idle")) {
            server.setSaslMechanisms(row.offered.chopped(5));
            server.setReply(
                "CAPA", {"+OK\r\nSASL XOAUTH2\r\n.\r\n", "-ERR Disconnected for inactivity.\r\n"});
        } else {
            server.setSaslMechanisms(row.offered);
        }
        config::Configuration &configuration = folders.configuration;
        configuration.Busties = {{u"localhost"_s, 995, u"usuari"_s, u"secret"_s, u"x@y.cat"_s}};
        configuration.Configuracio.NumBusties = 1;
        test::RecordingView view;
        routing::RunContext ctx {view, configuration};
        platform::SocketControl socket;
        routing::Pop3Session session {socket, ctx};
        session.LlegirBustia(configuration.Busties[0], {row.method, row.token});
        const QList<QByteArray> fetch = {"STAT", "RETR 1", "DELE 1", "QUIT"};
        EXPECT_EQ(server.commands(), row.logged.isEmpty() ? row.commands + fetch : row.commands);
        const QStringList log = folders.logged();
        if (row.logged.isEmpty()) {
            EXPECT_TRUE(server.messages().isEmpty());
            EXPECT_TRUE(log.isEmpty()) << log.join(u'\n').toStdString();
        } else {
            EXPECT_EQ(server.messages().size(), 1);
            ASSERT_EQ(log.size(), 1) << log.join(u'\n').toStdString();
            EXPECT_TRUE(log[0].startsWith(row.logged)) << log[0].toStdString();
            EXPECT_FALSE(log[0].contains(u"ya29"_s));
        }
        EXPECT_FALSE(view.statuses.join(u'\n').contains(u"ya29"_s));
    }
}

} // namespace
