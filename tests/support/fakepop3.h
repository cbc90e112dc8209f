// A POP3 server for tests (a LineServer, support/transcript.h): one mailbox with a user and
// password, the ordinary replies of RFC 1939 (USER, PASS, STAT, RETR, DELE, QUIT; marked
// messages are removed at QUIT), and quirks on top: replaced replies, silence, RETR replies
// cut into pieces at chosen places, a connection closed or stalled inside a RETR reply.
// Scripted replies answer every occurrence of their command.
//
// The other logins, written from the RFCs independently of the client: CAPA (RFC 2449), APOP
// when a greeting timestamp is set (RFC 1939), and AUTH (RFC 5034) with the mechanisms set
// offered: PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1/256 (the client's proof checked, the server's
// signature sent, or spoiled on request), XOAUTH2 and OAUTHBEARER (an access token checked;
// a wrong one answered with the JSON error challenge). The client's lines inside an exchange
// are recorded as commands too, and their replies can be scripted as the step "AUTHDATA".
#pragma once

#include "support/transcript.h"

#include <QMap>
#include <QSet>

namespace vessamo::test {

class FakePop3 : public LineServer
{
public:
    // Cuts the bytes of a whole RETR reply (status line, stuffed message, terminator)
    // into the pieces to send.
    using Splitter = std::function<QList<QByteArray>(const QByteArray &wire)>;
    enum class Cut { Close, Stall };

    FakePop3()
        : LineServer("POP3", true)
    {
    }

    void setCredentials(const QByteArray &user, const QByteArray &password)
    {
        user_ = user;
        password_ = password;
    }
    // The SASL mechanisms CAPA lists and AUTH takes ("PLAIN LOGIN"); none unless set.
    void setSaslMechanisms(const QByteArray &names) { mechanisms_ = names.split(' '); }
    // The access token XOAUTH2 and OAUTHBEARER take.
    void setAccessToken(const QByteArray &token) { token_ = token; }
    // The greeting ends with this APOP timestamp ("<...@...>"), and APOP is taken.
    void setApopTimestamp(const QByteArray &timestamp) { apopTimestamp_ = timestamp; }
    // SCRAM's server signature is sent wrong, as by a server that does not know the password.
    void spoilScramSignature() { spoilSignature_ = true; }
    // A message as it is stored (and as the client must store it): lines end in CR LF.
    void addMessage(const QByteArray &message) { messages_ << message; }
    // Messages still in the mailbox (after the deletions of sessions ended by QUIT).
    const QList<QByteArray> &messages() const { return messages_; }

    // Replaces the reply to a verb ("GREETING" for the greeting) or to one whole command
    // line ("DELE 2") with these pieces. Side effects (marking, deleting at QUIT) stay,
    // except that a negative reply to DELE marks nothing.
    void setReply(const QByteArray &verb, const QList<QByteArray> &pieces)
    {
        script(verb, Reply {Reply::Send, pieces});
    }
    // Never answers this verb, which then has no effect; the connection stays open.
    void setSilent(const QByteArray &verb) { script(verb, Reply::silence()); }
    // The whole RETR reply of message `number`, as sent on the wire (no stuffing added).
    void setRetrWire(int number, const QByteArray &wire) { retrWire_.insert(number, wire); }
    // How RETR replies are cut (default: one piece).
    void setSplitter(Splitter splitter) { splitter_ = std::move(splitter); }
    // Sends only the first `bytes` bytes of the RETR reply of message `number`, then
    // closes the connection or goes silent.
    void setRetrCut(int number, qsizetype bytes, Cut how) { cuts_.insert(number, {bytes, how}); }
    // The pause between the pieces of a reply (2 ms unless set).
    void setPieceDelayMs(int ms) { pauseMs_ = ms; }

    // The RETR reply of a stored message: status line, dot-stuffed text, "." line.
    static QByteArray retrWire(const QByteArray &message);
    // One byte per piece.
    static Splitter byteByByte();

private:
    void opened() override;
    void line(const QByteArray &line) override;
    Reply reply(const QByteArray &verb, const QByteArray &arg);
    // AUTH and the lines of its exchange.
    Reply startAuth(const QByteArray &arg);
    Reply authData(const QByteArray &line);
    Reply scram(const QByteArray &line);
    Reply loggedIn(bool ok);

    QByteArray user_ = "usuari";
    QByteArray password_ = "secret";
    QByteArrayList mechanisms_;
    QByteArray token_;
    QByteArray apopTimestamp_;
    bool spoilSignature_ = false;
    QList<QByteArray> messages_;
    QMap<int, QByteArray> retrWire_;
    QMap<int, std::pair<qsizetype, Cut>> cuts_;
    Splitter splitter_;
    // The session's state.
    bool userOk_ = false;
    bool loggedIn_ = false;
    QSet<int> marked_;
    // The SASL exchange going on: its mechanism (empty: none), step and what it keeps.
    QByteArray authMechanism_;
    int authStep_ = 0;
    QByteArray authKept_;
    QByteArray serverSignature_;
};

} // namespace vessamo::test
