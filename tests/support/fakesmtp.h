// A scriptable SMTP server on 127.0.0.1 (port 0, read back) for tests. It answers like a
// plain server by default; a test replaces the reply to any step, splits a reply into
// fragments sent with pauses, stays silent, drops the connection, or closes it right after
// a reply (both reach the client together). It records every byte
// it receives and every message body that reached the end of data.
//
// Steps are named by the command verb in upper case ("EHLO", "HELO", "MAIL", "RCPT",
// "DATA", "QUIT", "AUTH", "RSET"), plus "GREETING", "AUTHUSER" and "AUTHPASS" (the two
// AUTH LOGIN answers) and "." (the end of data).
#pragma once

#include "support/transcript.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <deque>
#include <functional>
#include <memory>

namespace vessamo::test {

class FakeSmtpServer : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        enum Kind { Send, Silence, Drop };
        Kind kind = Send;
        QList<QByteArray> fragments; // sent in order, `pauseMs` apart
        int pauseMs = 0;
        int delayMs = 0; // before the first fragment
        bool closeAfter = false; // close the connection right after the last fragment

        static Reply text(const QByteArray &line) { return Reply {Send, {line}, 0, 0}; }
        static Reply thenClose(const QByteArray &line) { return Reply {Send, {line}, 0, 0, true}; }
        static Reply split(QList<QByteArray> parts, int pauseMs)
        {
            return Reply {Send, std::move(parts), pauseMs, 0};
        }
        static Reply silence() { return Reply {Silence, {}, 0, 0}; }
        static Reply drop() { return Reply {Drop, {}, 0, 0}; }
    };

    FakeSmtpServer();
    ~FakeSmtpServer() override;

    quint16 port() const { return server_.serverPort(); }

    // Replaces the reply for the next occurrence(s) of a step, in order; afterwards the
    // default reply comes back.
    void script(const QByteArray &step, Reply reply);
    // Replaces replies as a "C:"/"S:" script (support/transcript.h); each reply is used
    // once, in order, as script() does.
    void play(const char *script);
    // Called with each command line as it arrives, before the reply is sent.
    void setCommandHook(std::function<void(const QByteArray &line)> hook)
    {
        hook_ = std::move(hook);
    }
    // The default reply to EHLO (multi-line, with its CR LFs).
    void setEhloReply(const QByteArray &reply) { ehlo_ = reply; }

    // Everything received, over all connections.
    QByteArray received() const { return received_; }
    // The bytes of each DATA section, between the 354 reply and the end-of-data line,
    // exactly as received (still dot-stuffed).
    QList<QByteArray> messages() const { return messages_; }
    // The command lines received, without their CR LF (DATA contents excluded).
    QList<QByteArray> commands() const { return commands_; }
    int connections() const { return connections_; }

private:
    enum class Mode { Command, AuthUser, AuthPass, Data };

    void onNewConnection();
    void onReadyRead();
    void handleLine(const QByteArray &line);
    void answer(const QByteArray &step, const QByteArray &fallback);
    void send(const Reply &reply);

    QTcpServer server_;
    std::unique_ptr<QTcpSocket> peer_;
    QHash<QByteArray, std::deque<Reply>> scripts_;
    QByteArray ehlo_;
    QByteArray buffer_;
    qsizetype scanFrom_ = 0;
    Mode mode_ = Mode::Command;
    QByteArray received_;
    QList<QByteArray> messages_;
    QList<QByteArray> commands_;
    int connections_ = 0;
    std::function<void(const QByteArray &)> hook_;
    Transcript transcript_ {"SMTP"};
};

} // namespace vessamo::test
