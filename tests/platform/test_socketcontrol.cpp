// The socket control against real loopback connections: event order, the peer's close,
// failures, nested waits inside handlers, and release from a handler.
#include "platform/socketcontrol.h"
#include "platform/wait.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

using vessamo::platform::SocketControl;
using vessamo::platform::waitUntil;

namespace {

struct Recorder
{
    explicit Recorder(SocketControl &s)
    {
        QObject::connect(&s, &SocketControl::ConnectEvent,
                         [this] { log << QStringLiteral("connect"); });
        QObject::connect(&s, &SocketControl::CloseEvent,
                         [this] { log << QStringLiteral("close"); });
        QObject::connect(&s, &SocketControl::DataArrival, [this, &s](qint32) {
            data += s.GetData();
            log << QStringLiteral("data");
        });
        QObject::connect(&s, &SocketControl::Error, [this](qint16 number, const QString &) {
            log << QStringLiteral("error ") + QString::number(number);
        });
    }
    QStringList log;
    QByteArray data;
};

class Server
{
public:
    Server() { EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0)); }
    quint16 port() const { return server.serverPort(); }
    QTcpSocket *accept()
    {
        if (!waitUntil([&] { return server.hasPendingConnections(); }, QDeadlineTimer(5000)))
            return nullptr;
        peer.reset(server.nextPendingConnection());
        return peer.get();
    }
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
};

} // namespace

TEST(SocketControl, ConnectDataAndPeerCloseInNetworkOrder)
{
    Server server;
    SocketControl socket;
    Recorder rec(socket);
    socket.SetRemoteHost(QStringLiteral("127.0.0.1"));
    socket.SetRemotePort(server.port());
    socket.Connect();
    EXPECT_GT(socket.State(), 0);
    QTcpSocket *peer = server.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return socket.State() == 7; }, QDeadlineTimer(5000)));
    peer->write("220 hello\r\n");
    peer->write("250 more\r\n");
    peer->flush();
    peer->disconnectFromHost();
    ASSERT_TRUE(
        waitUntil([&] { return rec.log.contains(QStringLiteral("close")); }, QDeadlineTimer(5000)));
    EXPECT_EQ(rec.data, QByteArray("220 hello\r\n250 more\r\n"));
    // Connect first, data before the close, and the close is never an error.
    ASSERT_GE(rec.log.size(), 3);
    EXPECT_EQ(rec.log.first(), QStringLiteral("connect"));
    EXPECT_EQ(rec.log.last(), QStringLiteral("close"));
    for (const QString &entry : rec.log)
        EXPECT_FALSE(entry.startsWith(u"error")) << entry.toStdString();
    EXPECT_EQ(socket.State(), 8);
    socket.Close();
    EXPECT_EQ(socket.State(), 0);
    socket.Close(); // harmless on a closed socket
}

TEST(SocketControl, RefusedConnectionIsAnErrorWithState9)
{
    quint16 port;
    {
        Server server;
        port = server.port();
    } // nothing listens there now
    SocketControl socket;
    Recorder rec(socket);
    socket.Connect(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(waitUntil([&] { return !rec.log.isEmpty(); }, QDeadlineTimer(5000)));
    EXPECT_EQ(rec.log, QStringList {QStringLiteral("error 10061")});
    EXPECT_EQ(socket.State(), 9);
}

TEST(SocketControl, SendDataGoesOutInCallOrderWithProgress)
{
    Server server;
    SocketControl socket;
    qint64 progressed = 0;
    QObject::connect(&socket, &SocketControl::SendProgress,
                     [&](qint32 sent, qint32) { progressed += sent; });
    socket.Connect(QStringLiteral("127.0.0.1"), server.port());
    QTcpSocket *peer = server.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return socket.State() == 7; }, QDeadlineTimer(5000)));
    QByteArray expected;
    for (int i = 0; i < 200; ++i) {
        const QByteArray chunk = QByteArray::number(i) + QByteArray(1000, 'x') + "\r\n";
        expected += chunk;
        socket.SendData(chunk);
    }
    QByteArray got;
    ASSERT_TRUE(waitUntil(
        [&] {
            got += peer->readAll();
            return got.size() >= expected.size() && progressed >= expected.size();
        },
        QDeadlineTimer(10000)));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(progressed, expected.size());
}

// A handler that waits in a nested loop (as the mail object does when a failure makes it
// send QUIT from inside its reply handler) must still receive the data that follows.
TEST(SocketControl, NestedWaitInsideHandlerStillReceivesLaterData)
{
    Server server;
    SocketControl socket;
    QByteArray received;
    bool nestedSawReply = false;
    int depth = 0;
    QTcpSocket *peer = nullptr;
    QObject::connect(&socket, &SocketControl::DataArrival, [&](qint32) {
        received += socket.GetData();
        if (depth > 0 || !received.startsWith("550"))
            return;
        ++depth;
        peer->write("221 bye\r\n");
        nestedSawReply = waitUntil([&] { return received.contains("221"); }, QDeadlineTimer(5000));
        --depth;
    });
    socket.Connect(QStringLiteral("127.0.0.1"), server.port());
    peer = server.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return socket.State() == 7; }, QDeadlineTimer(5000)));
    peer->write("550 no\r\n");
    ASSERT_TRUE(waitUntil([&] { return received.contains("221"); }, QDeadlineTimer(5000)));
    EXPECT_TRUE(nestedSawReply);
    EXPECT_EQ(received, QByteArray("550 no\r\n221 bye\r\n"));
}

TEST(SocketControl, OwnerMayDeleteTheControlFromAHandler)
{
    Server server;
    auto socket = std::make_unique<SocketControl>();
    int events = 0;
    QObject::connect(socket.get(), &SocketControl::DataArrival, [&](qint32) {
        ++events;
        socket.reset();
    });
    socket->Connect(QStringLiteral("127.0.0.1"), server.port());
    QTcpSocket *peer = server.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return socket->State() == 7; }, QDeadlineTimer(5000)));
    peer->write("one\r\n");
    peer->flush();
    ASSERT_TRUE(waitUntil([&] { return !socket; }, QDeadlineTimer(5000)));
    peer->write("two\r\n");
    peer->disconnectFromHost();
    // Let whatever was queued run: nothing may touch the deleted control.
    waitUntil([] { return false; }, QDeadlineTimer(200));
    EXPECT_EQ(events, 1);
}

// The peer sends its last data and closes at once: a handler that closes the control on
// the data must not then receive the close of the connection it already left.
TEST(SocketControl, NoEventOfAConnectionAfterItsClose)
{
    Server server;
    SocketControl socket;
    Recorder rec(socket);
    QObject::connect(&socket, &SocketControl::DataArrival, [&](qint32) { socket.Close(); });
    socket.Connect(QStringLiteral("127.0.0.1"), server.port());
    QTcpSocket *peer = server.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return socket.State() == 7; }, QDeadlineTimer(5000)));
    peer->write("last words\r\n");
    peer->disconnectFromHost();
    ASSERT_TRUE(
        waitUntil([&] { return rec.log.contains(QStringLiteral("data")); }, QDeadlineTimer(5000)));
    waitUntil([] { return false; }, QDeadlineTimer(200));
    EXPECT_EQ(rec.log, (QStringList {QStringLiteral("connect"), QStringLiteral("data")}));
    EXPECT_EQ(socket.State(), 0);
}
