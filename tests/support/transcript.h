// What the fake servers share. A LineServer listens on 127.0.0.1 (port 0: read port() back)
// and serves one connection at a time (a new one replaces it) in the test's own thread,
// while the code under test waits in the event loop. It cuts the input into lines at CR LF,
// records the command lines, and sends each reply as pieces, one at a time with a short
// pause between them, so that the client normally reads them as separate blocks.
//
// Its dialogue is kept as the wire log writes it: "C: " for what the client sent, "S: " for
// what the server answered, "-- " for an event. When a check fails, the dialogue of every
// fake server still alive is printed under the failure.
//
// play() scripts replies in the same format. Each "C: " line names the step a reply answers:
// a command verb ("EHLO", "RETR"), a whole command line ("DELE 2"), or a step without a
// command line of its own (SMTP: "AUTHUSER", "AUTHPASS", "." for the end of data). The "S: "
// lines below it are the reply, one line each; "S: " lines before any "C: " replace the
// greeting (step "GREETING"). Three words stand for what is not text:
//   S: <silence>   no reply; the connection stays open
//   S: <close>     the server closes right after the lines above it
//   S: <drop>      the server drops the connection at once
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <functional>
#include <optional>

namespace vessamo::test {

class LineServer : public QObject
{
public:
    struct Reply
    {
        enum Kind { Send, Silence, Drop };
        Kind kind = Send;
        QList<QByteArray> fragments; // sent in order, `pauseMs` apart
        int pauseMs = 0; // 0: the server's own pause
        int delayMs = 0; // before the first fragment
        bool closeAfter = false; // close right after the last fragment: both arrive together

        static Reply text(const QByteArray &line) { return {Send, {line}}; }
        static Reply thenClose(const QByteArray &line) { return {Send, {line}, 0, 0, true}; }
        static Reply split(QList<QByteArray> parts, int pauseMs)
        {
            return {Send, std::move(parts), pauseMs};
        }
        static Reply silence() { return {Silence, {}}; }
        static Reply drop() { return {Drop, {}}; }
    };

    // `repeat`: a scripted reply answers every occurrence of its step, else only the next.
    LineServer(const char *name, bool repeat);
    ~LineServer() override;

    quint16 port() const { return server_.serverPort(); }
    // Listens at this address and port instead (ports below 1024 need root).
    bool listenOn(const QHostAddress &address, quint16 port);
    // Serves TLS with this certificate: from the first byte, or after startTls().
    void setTls(const QSslCertificate &certificate, const QSslKey &key, bool fromFirstByte);
    // Starts TLS on the connection served, once what was sent before has gone out.
    void startTls();
    // Replaces the reply to a step. A server that repeats gives the reply scripted last to
    // every occurrence; otherwise each reply is used once, in order, then the default returns.
    void script(const QByteArray &step, Reply reply) { scripts_[step].append(std::move(reply)); }
    // Scripts replies as "C:"/"S:" lines; an unreadable line fails the test that wrote it.
    void play(const char *script);
    // Called with each command line as it arrives, before the reply is sent.
    void setCommandHook(std::function<void(const QByteArray &line)> hook)
    {
        hook_ = std::move(hook);
    }

    // Stops taking bytes from the connection (the client's writes then pile up in its
    // buffers, as with a server that stalls) or takes them again.
    void pauseReading(bool paused);
    // Stops reading once `command` has arrived: for good, or for `resumeAfterMs` when given.
    void stallAfter(const QByteArray &command, int resumeAfterMs = -1);

    // Everything received, over all connections.
    const QByteArray &received() const { return received_; }
    // The command lines received, without their CR LF, over all connections.
    const QList<QByteArray> &commands() const { return commands_; }
    int connections() const { return connections_; }
    // The dialogue so far, at most a few hundred lines, each cut short.
    QByteArray dialogue() const;

protected:
    // A new connection: the session starts afresh and is greeted.
    virtual void opened() = 0;
    // A line received, without its CR LF.
    virtual void line(const QByteArray &line) = 0;
    // Keeps a command line, shows it in the dialogue and calls the hook.
    void record(const QByteArray &line);
    // The reply scripted for this command line or, failing that, for its step.
    std::optional<Reply> scripted(const QByteArray &step, const QByteArray &line = {});
    void send(const Reply &reply);
    void show(const QByteArray &side, const QByteArray &line);

    // TLS is set up to start on request and has not started on this connection yet.
    bool offersStartTls() const
    {
        return server_.tls && !server_.fromFirstByte && socket_ && !socket_->isEncrypted();
    }

    QSslSocket *socket_ = nullptr; // the connection served; none once dropped
    int pauseMs_ = 2;

private:
    struct Piece
    {
        QByteArray bytes;
        int waitMs;
        bool close;
    };
    void read(QSslSocket *socket);
    // Hands out QSslSockets, with TLS set up as asked.
    class Server : public QTcpServer
    {
    public:
        QSslCertificate certificate;
        QSslKey key;
        bool tls = false;
        bool fromFirstByte = false;

    protected:
        void incomingConnection(qintptr descriptor) override;
    };
    void pump();
    void note(const QByteArray &text);
    // Bytes as sent, in any pieces: shown line by line.
    void served(const QByteArray &bytes);

    const char *name_;
    const bool repeat_;
    Server server_;
    QHash<QByteArray, QList<Reply>> scripts_;
    std::function<void(const QByteArray &)> hook_;
    QByteArray input_;
    QList<Piece> pending_;
    bool waiting_ = false; // for the pause before pending_'s first piece
    bool readingPaused_ = false;
    QByteArray received_;
    QList<QByteArray> commands_;
    int connections_ = 0;
    QByteArray shown_; // the dialogue's lines
    int shownLines_ = 0;
    QByteArray partial_; // the server's last line, not ended yet
};

// Installs, once, the listener that prints the live dialogues under a failure.
void printTranscriptsOnFailure();

} // namespace vessamo::test
