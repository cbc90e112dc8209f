// POP3 retrieval: one session per mailbox on the routing form's socket `wsckRebre`.
// USER, PASS, STAT, then for each message RETR into a queued pair, DELE once the pair is
// committed under its final name, and QUIT once everything stored in the session has been
// flushed to disk (the server deletes the marked messages only at QUIT).
//
// A mailbox may ask for another login (Pop3Login): CAPA (RFC 2449) first, then USER/PASS,
// APOP (RFC 1939) or AUTH with a SASL mechanism (RFC 5034, mail/sasl.h). Those states and
// their judgements live in pop3login.cpp; without a login method the dialogue is USER/PASS
// exactly as it always was.
//
// Life cycle: the run calls LlegirBustia() for each mailbox; it connects and waits in the
// event loop until the session is over or the run's stop is requested. The dialogue is
// driven by the socket's events through a table of states (pop3session.cpp): per state the
// command that entering it sends, the kind of reply it awaits (one line, or RETR's message),
// the silence allowed before that reply and what a failure in it means; judge() has one
// case per state and picks the next one from the reply. Replies are judged only when their
// line is complete; message data goes through Pop3MessageReceiver (pop3reply.h), the one
// place that drops the RETR status line, undoes the dot-stuffing and finds the terminating
// "." line across blocks.
//
// Failures end this mailbox's session, never the run: a negative or malformed reply is
// logged as "Rebent: " + reply, a socket error or a close before QUIT as "Rebent Winsock:
// " + number + ": " + description, silence, an overlong session and a message far larger
// than STAT announced as "Rebent: " + what happened. Once logged in, the session still
// ends with QUIT, so the DELEs of the messages stored before are committed. A message cut
// off is discarded (it was not marked). When the session ends without QUIT having been
// sent, the messages it stored are removed from the queue: they are still on the server,
// and keeping them would forward them twice. Once QUIT is sent, a close is the normal end.
//
// The dialogue goes to the wire log (platform::lcWirePop3) with the password, the APOP
// digest and every SASL payload masked, and one line per message instead of its text.
#pragma once

#include "mail/sasl.h"
#include "routing/pop3reply.h"
#include "routing/queue.h"
#include "routing/runcontext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace vessamo::platform {
class SocketControl;
}

namespace vessamo::routing {

// What the reply received in each state answers. A state is a row of the session's table
// (pop3session.cpp: its command, the kind of reply, the silence allowed, what a failure
// means) and a case of Pop3Session::judge(); Quit stays the last one.
enum class Pop3State : int {
    Greeting, // the server's greeting
    Capa, // CAPA reply: a status line and the capabilities, up to "." (not with USER/PASS as ever)
    User, // reply to USER
    Pass, // reply to PASS
    Apop, // reply to APOP
    Auth, // reply to AUTH: a challenge ("+ ") or the verdict
    AuthResponse, // reply to the answer of a challenge: the next one or the verdict
    AuthCancel, // reply to "*", the exchange given up by the client
    Stat, // reply to STAT
    Retr, // RETR reply: status line and message data
    Dele, // reply to DELE
    Quit, // reply to QUIT
};

inline constexpr std::size_t kPop3StateCount = static_cast<std::size_t>(Pop3State::Quit) + 1;

// How a mailbox logs in. Left empty, the method is USER/PASS exactly as it always was, with
// no CAPA. Otherwise CAPA comes first, then by the method (any case):
//   "USER"   USER/PASS;
//   "APOP"   APOP with the greeting's timestamp (a greeting without one is a failure);
//   "auto"   the strongest SASL mechanism the server offers (mail::chooseMechanism: never
//            PLAIN or LOGIN in clear text); a server that offers none for a password (and
//            no token source): USER/PASS inside TLS, a failure in clear text;
//   a SASL mechanism's name (PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256, XOAUTH2,
//            OAUTHBEARER): that one, required; a server that lacks it is a failure.
struct Pop3Login
{
    QString method;
    // A fresh access token for XOAUTH2 and OAUTHBEARER, asked only when one of them was
    // chosen; nothing, with the reason in `error`, when none can be had. Empty: no source.
    std::function<std::optional<QString>(QString &error)> accessToken;
};

// One POP3 session at a time on a socket that the routing form owns.
class Pop3Session : public QObject
{
public:
    // Replies other than message data are judged once a line end came; without one within
    // this many bytes the reply is refused.
    static constexpr qsizetype kMaxReply = 4096;
    // The whole CAPA reply is kept in memory; a longer one is refused.
    static constexpr qsizetype kMaxCapaReply = 16 * 1024;

    // Limits of one session, counted in ticks of the run's safety timer (1 s in service),
    // so that a silent server ends its session before the safety timer ends the run.
    // Silence that ends a session (what every state of the table allows before its reply):
    // half the safety timer's 121 ticks.
    static constexpr int kIdleLimitTicks = 60;
    // The whole session may last the safety timer's 121 ticks plus the time the announced
    // size takes at the slowest rate allowed (16 KiB per tick), at most a day.
    static constexpr int kSessionBaseTicks = 121;
    static constexpr qint64 kMinOctetsPerTick = 16 * 1024;
    static constexpr qint64 kMaxSessionMs = 24LL * 3600 * 1000;
    // After a failure, how long the QUIT reply is waited for.
    static constexpr int kQuitGraceTicks = 10;
    // A message may exceed the mailbox's announced total by the total again, at least by
    // 1 MiB: announced sizes differ a little from the bytes sent (line ends, stuffing).
    static constexpr qint64 kMinSizeMargin = 1024 * 1024;
    static constexpr qint64 messageSizeLimit(qint64 total)
    {
        return total + (total > kMinSizeMargin ? total : kMinSizeMargin);
    }

    Pop3Session(platform::SocketControl &wsckRebre, RunContext &run, QObject *parent = nullptr);
    ~Pop3Session() override;
    Pop3Session(const Pop3Session &) = delete;
    Pop3Session &operator=(const Pop3Session &) = delete;

    // Reads the mailbox into the queue folder of the run's configuration, logging in as
    // `login` says. Returns when the session is over or the run's stop is requested.
    void LlegirBustia(const config::Bustia &bustia, const Pop3Login &login = {});
    // The tick of the run's safety timer, from which the session's limits are derived.
    void setSafetyTickMs(int ms) { tickMs_ = ms > 0 ? ms : 1000; }

    Pop3State state() const { return state_; }
    bool busy() const { return busy_; }
    qint64 messageCount() const { return count_; }
    qint64 messageNumber() const { return number_; }
    qint64 totalOctets() const { return total_; }
    qint64 octetsReceived() const { return received_; }

private:
    void onDataArrival();
    // Collects the CAPA reply up to its "." line (or its refusal), then judges it.
    void collectCapabilities(const QByteArray &block);
    // What the status list and the wire log show of a reply (SASL challenges masked).
    QByteArray shownReply(const QByteArray &reply) const;
    void onError(qint16 number, const QString &description);
    void onClose();

    // Enters a state: sends its command (the greeting has none). False when the command
    // could not reach the server (it has closed already).
    bool enter(Pop3State next);
    // The command that entering `state` sends, and in `shown` what the status list and the
    // wire log show of it (the password masked).
    QByteArray commandOf(Pop3State state, QString &shown) const;
    // Judges a complete reply for the state it answers: one case per state.
    void judge(const QByteArray &reply);
    // A negative or unusable reply: logged, then the session ends as the state's table row
    // says a failure in it must.
    void refused(const QByteArray &reply);

    // The login (pop3login.cpp). After the greeting: USER, or CAPA for another method.
    void startLogin(const QByteArray &greeting);
    // After the CAPA reply: the method's first command, or a failure with nothing sent.
    void loginWithCapabilities(const Pop3Capabilities &capabilities);
    // Starts the SASL exchange of `mechanism`: AUTH, with the initial response when it fits.
    void startSasl(const QByteArray &mechanism);
    // A reply in the SASL exchange: a challenge answered, the success verified, a refusal.
    void judgeSasl(const QByteArray &reply);
    // Gives the exchange up: logs why, sends "*" and ends at its reply.
    void cancelSasl(const QString &why);
    // A login failure before anything secret was sent: logged, the session ends.
    void loginFailure(const QString &why);
    void handleMessageData(QByteArrayView block);
    void drain(QByteArrayView block);
    void messageComplete();
    void startMessage(qint64 number);
    void sendQuit();
    // False when the command could not reach the server (it has closed already).
    bool sendCommand(const QByteArray &command, const QString &statusText);
    // The session's wait ran out: silence, or the session's deadline.
    void timeLimitReached();
    // Logs the failure and ends the session as the state's failure class says: with QUIT
    // once logged in (unless `mayQuit` is false: a silent server), else at once.
    void fail(const QString &logText, bool mayQuit = true);
    // Ends the session on a socket failure (logged); after QUIT the normal end.
    void socketFailure(qint16 number, const QString &description);
    void endSession();
    // Removes a stored pair from the queue (its message stays on the server).
    void removeStoredPair(const QueuePair &pair) const;
    qint64 ticksMs(qint64 ticks) const { return ticks * tickMs_; }
    // When the silence allowed while the current state's reply is awaited runs out.
    QDeadlineTimer silenceDeadline() const;
    QString host() const;

    platform::SocketControl &socket_;
    RunContext &run_;

    Pop3State state_ = Pop3State::Greeting;
    config::Bustia bustia_; // the mailbox being read
    qint64 count_ = 0;
    qint64 number_ = 0;
    qint64 total_ = 0;
    qint64 received_ = 0;
    bool busy_ = false;

    QByteArray reply_; // a reply line not yet complete
    Pop3MessageReceiver receiver_;
    QByteArray out_; // un-stuffed bytes of the current block, reused
    std::optional<QueuedMessageFile> file_;

    // The login: its method, TLS, and what the exchange needs between states.
    Pop3Login login_;
    bool inTls_ = false;
    QByteArray greeting_; // the greeting (its APOP timestamp)
    QByteArray apopDigest_;
    std::unique_ptr<mail::SaslMechanism> mechanism_;
    QByteArray authArgument_; // what follows "AUTH ": the mechanism, and its initial response
    bool initialResponseSent_ = false;
    bool awaitingToken_ = false; // the token source is being asked (it may wait)
    std::optional<QByteArray> initialResponse_; // held for the server's empty challenge
    QByteArray saslResponse_; // the Base64 answer to the last challenge
    // Pairs stored in this session before QUIT (flushed to disk when it is sent).
    QList<QueuePair> committed_;

    int tickMs_ = 1000;
    QDeadlineTimer started_;
    QDeadlineTimer lastHeard_; // when the server last sent anything (or the connection began)
    QDeadlineTimer sessionDeadline_;
    QString lastCommand_; // status text of the last command, for the silence text
    bool multiLinePending_ = false; // a multi-line (RETR) reply is (still) coming
    bool draining_ = false; // the rest of an abandoned multi-line reply is read and dropped
    bool quitSent_ = false;
    bool failed_ = false; // a failure has been logged
};

} // namespace vessamo::routing
