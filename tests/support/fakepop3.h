// A POP3 server on 127.0.0.1 for tests: one mailbox with a user and password, the
// ordinary replies of RFC 1939 (USER, PASS, STAT, RETR, DELE, QUIT; marked messages
// are removed at QUIT), and scripted quirks on top: replaced replies sent in pieces,
// silence, RETR replies cut into pieces at chosen places, and a connection dropped or
// stalled in the middle of a RETR reply. Every command line received is recorded.
//
// It listens on port 0 from construction (read port() back) and runs in the test's own
// thread: its sockets are served while the code under test waits in the event loop.
// Pieces of one reply go out one at a time with a short pause between them, so the
// client normally reads them as separate blocks.
#pragma once

#include "support/transcript.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <functional>
#include <memory>
#include <vector>

class QTcpSocket;

namespace vessamo::test {

class FakePop3 : public QObject
{
public:
    // Cuts the bytes of a whole RETR reply (status line, stuffed message, terminator)
    // into the pieces to send.
    using Splitter = std::function<QList<QByteArray>(const QByteArray &wire)>;
    enum class Cut { Close, Stall };

    FakePop3();
    ~FakePop3() override;

    quint16 port() const { return m_server.serverPort(); }

    // --- the mailbox -------------------------------------------------------------------
    void setCredentials(const QByteArray &user, const QByteArray &password);
    // A message as it is stored (and as the client must store it): lines end in CR LF.
    void addMessage(const QByteArray &message);
    // Messages still in the mailbox (after the deletions of sessions ended by QUIT).
    const QList<QByteArray> &messages() const { return m_messages; }

    // --- quirks ------------------------------------------------------------------------
    // Replaces the reply to every command with this verb ("GREETING" for the greeting), or
    // to one whole command line ("DELE 2"), sent as these pieces. Side effects (marking,
    // deleting at QUIT) stay, except that a negative reply to DELE marks nothing.
    void setReply(const QByteArray &verb, const QList<QByteArray> &pieces);
    // Replaces replies as a "C:"/"S:" script (support/transcript.h): as setReply() and
    // setSilent(), each for every occurrence of its command.
    void play(const char *script);
    // Never answers this verb; the connection stays open.
    void setSilent(const QByteArray &verb);
    // The whole RETR reply of message `number`, as sent on the wire (no stuffing added).
    void setRetrWire(int number, const QByteArray &wire);
    // How RETR replies are cut (default: one piece).
    void setSplitter(Splitter splitter) { m_splitter = std::move(splitter); }
    // Sends only the first `bytes` bytes of the RETR reply of message `number`, then
    // closes the connection or goes silent.
    void setRetrCut(int number, qsizetype bytes, Cut how);
    void setPieceDelayMs(int ms) { m_delayMs = ms; }
    // Called with each command line as it arrives, before the reply is sent.
    void setCommandHook(std::function<void(const QByteArray &line)> hook)
    {
        m_hook = std::move(hook);
    }

    // --- what happened -----------------------------------------------------------------
    // Every command line received, without its CR LF, over all connections.
    const QList<QByteArray> &commands() const { return m_commands; }
    int connections() const { return m_connectionCount; }

    // --- wire helpers ------------------------------------------------------------------
    // The RETR reply of a stored message: status line, dot-stuffed text, "." line.
    static QByteArray retrWire(const QByteArray &message);
    // One byte per piece.
    static Splitter byteByByte();

private:
    struct Piece
    {
        QByteArray bytes;
        bool closeAfter = false;
    };
    struct Connection
    {
        std::unique_ptr<QTcpSocket> socket;
        QByteArray input;
        QList<Piece> pending;
        bool sending = false;
        bool userOk = false;
        bool loggedIn = false;
        QSet<int> marked;
    };

    void onNewConnection();
    void onReadyRead(Connection &c);
    void handleCommand(Connection &c, const QByteArray &line);
    QList<QByteArray> normalReply(Connection &c, const QByteArray &verb, const QByteArray &arg,
                                  bool &closeAfter);
    QList<QByteArray> retrReply(Connection &c, const QByteArray &arg, bool &closeAfter);
    void send(Connection &c, const QList<QByteArray> &pieces, bool closeAfter);
    void pump(Connection &c);

    QTcpServer m_server;
    std::vector<std::unique_ptr<Connection>> m_connections;
    QByteArray m_user = QByteArrayLiteral("usuari");
    QByteArray m_password = QByteArrayLiteral("secret");
    QList<QByteArray> m_messages;
    QMap<QByteArray, QList<QByteArray>> m_replies;
    QSet<QByteArray> m_silent;
    QMap<int, QByteArray> m_retrWire;
    struct RetrCut
    {
        qsizetype bytes;
        Cut how;
    };
    QMap<int, RetrCut> m_retrCut;
    Splitter m_splitter;
    std::function<void(const QByteArray &)> m_hook;
    int m_delayMs = 2;
    QList<QByteArray> m_commands;
    int m_connectionCount = 0;
    QSet<QByteArray> m_closeAfter;
    Transcript m_transcript {"POP3"};
};

} // namespace vessamo::test
