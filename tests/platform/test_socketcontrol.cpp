// The socket control against real loopback connections: event order up to the peer's
// close, nested waits inside handlers, closing or deleting from a handler. Refused
// connections and sending are seen through the POP3 and SMTP tests.
#include "platform/socketcontrol.h"
#include "platform/wait.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

using vessamo::platform::SocketControl;
using vessamo::platform::waitUntil;

namespace {

bool waitFor(const std::function<bool()> &condition, int ms = 5000)
{
    return waitUntil(condition, QDeadlineTimer(ms));
}

// A control connected to a loopback server; the events it delivers are logged, a run of
// DataArrival events as one.
class SocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        newSocket();
    }

    void newSocket()
    {
        socket = std::make_unique<SocketControl>();
        log.clear();
        SocketControl *s = socket.get();
        QObject::connect(s, &SocketControl::ConnectEvent, [this] { log.push_back("connect"); });
        QObject::connect(s, &SocketControl::CloseEvent, [this] { log.push_back("close"); });
        QObject::connect(s, &SocketControl::DataArrival, [this](qint32) {
            data += socket->GetData();
            if (log.empty() || log.back() != "data")
                log.push_back("data");
        });
        QObject::connect(s, &SocketControl::Error, [this](qint16 number, const QString &) {
            log.push_back("error " + std::to_string(number));
        });
    }

    void connect()
    {
        socket->Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        EXPECT_EQ(socket->State(), SocketControl::sckConnecting);
        ASSERT_TRUE(waitFor([&] { return server.hasPendingConnections(); }));
        peer.reset(server.nextPendingConnection());
        ASSERT_TRUE(waitFor([&] { return socket->State() == SocketControl::sckConnected; }));
    }

    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    std::unique_ptr<SocketControl> socket;
    std::vector<std::string> log;
    QByteArray data;
};

// Every byte the peer sent before its close arrives first; the close is never an error.
TEST_F(SocketTest, DataBeforeThePeersClose)
{
    connect();
    peer->write("220 hello\r\n");
    peer->flush();
    peer->write("250 more\r\n");
    peer->disconnectFromHost();
    ASSERT_TRUE(waitFor([&] { return !log.empty() && log.back() == "close"; }));
    EXPECT_EQ(data, "220 hello\r\n250 more\r\n");
    EXPECT_EQ(log, (std::vector<std::string> {"connect", "data", "close"}));
    EXPECT_EQ(socket->State(), SocketControl::sckClosing);
    EXPECT_FALSE(socket->SendData("QUIT\r\n")); // the peer has gone
    socket->Close();
    EXPECT_EQ(socket->State(), SocketControl::sckClosed);
    socket->Close(); // harmless on a closed socket
}

// A handler that waits in a nested loop (as the mail object does when a failure makes it
// send QUIT from inside its reply handler) still receives the data that follows.
TEST_F(SocketTest, NestedWaitInsideAHandlerReceivesLaterData)
{
    bool nestedSawReply = false;
    QObject::connect(socket.get(), &SocketControl::DataArrival, [&](qint32) {
        if (data != "550 no\r\n")
            return;
        peer->write("221 bye\r\n");
        nestedSawReply = waitFor([&] { return data.contains("221"); });
    });
    connect();
    peer->write("550 no\r\n");
    ASSERT_TRUE(waitFor([&] { return data.contains("221"); }));
    EXPECT_TRUE(nestedSawReply);
    EXPECT_EQ(data, "550 no\r\n221 bye\r\n");
}

// A handler may delete the control, or close it on the last data before the peer's close:
// nothing of that connection is delivered afterwards.
TEST_F(SocketTest, NoEventAfterAHandlerClosesOrDeletes)
{
    for (const bool deletes : {false, true}) {
        SCOPED_TRACE(deletes ? "deletes" : "closes");
        newSocket();
        QObject::connect(socket.get(), &SocketControl::DataArrival, [&](qint32) {
            if (deletes)
                socket.reset();
            else
                socket->Close();
        });
        connect();
        peer->write("last words\r\n");
        peer->disconnectFromHost();
        ASSERT_TRUE(waitFor([&] { return !log.empty() && log.back() == "data"; }));
        waitFor([] { return false; }, 200); // whatever was queued runs now
        EXPECT_EQ(log, (std::vector<std::string> {"connect", "data"}));
        EXPECT_EQ(socket ? socket->State() : 0, SocketControl::sckClosed);
    }
}

} // namespace
