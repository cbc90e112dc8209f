// The SMTP session of the mail object: one dialogue with an SMTP server (after an optional
// POP3 login some servers want before they accept mail) as a table of states. Each state
// has one row below (its command, status, wait and failure class); entering a state sends
// its command, and one function judges every reply for the state it answers. The mail object
// (clsEnviarCorreu) keeps the properties, the error list and the events; it hands the
// session the settings an operation uses when the operation begins, and the session reports
// its steps and failures back through one delivery function.
//
// Waits are nested event loops that end on the reply, the state's time-out, a failure, or
// the stop source. The owner may delete the mail object from any event it receives: each
// operation and each socket event keeps the session alive to its end, and the delivery
// function, the one place an event is raised, notices the release, after which every wait
// ends at once and nothing more reaches the socket or the owner.
#pragma once

#include "dns/mxquery.h"
#include "mail/datasection.h"
#include "mail/smtpreply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace vessamo::platform {
class SocketControl;
class StopSource;
} // namespace vessamo::platform

namespace vessamo::mail {

class SaslMechanism;

// What one relay attempt tells its caller about the message.
enum class RelayOutcome {
    Sent, // the server accepted it
    Temporary, // not accepted, for a reason that may pass (or one of the session, not the
               // message): no connection, time-out, drop, 4xx, a stop, a refused greeting
    Permanent, // refused for good: a 5xx reply to MAIL FROM, RCPT TO, DATA or end of data
    Ambiguous, // the end of data went out and no final reply came: the server may have it
};

// The session's states. Each has one row in kSmtpStates below (in the same order) and its
// case in the judgement of replies (smtpsession_table.cpp).
enum class SmtpState : int {
    Closed = 0, // no session
    Connecting, // the TCP connection is being made
    Greeting, // the server's 220
    Hello, // reply to EHLO or HELO
    StartTls, // reply to STARTTLS (port 587)
    TlsHandshake, // the TLS handshake after STARTTLS; EHLO again once it is done
    Auth, // replies to AUTH LOGIN and its two answers
    SaslAuth, // replies to AUTH with the chosen SASL mechanism and to its answers
    Ready, // greeted (and logged in): a transaction may start
    MailFrom, // reply to MAIL FROM
    RcptTo, // reply to RCPT TO
    Data, // reply to DATA
    Content, // a composed message is being written: no reply is awaited
    DataEnd, // reply to the end of data: the message is out
    Accepted, // the server took the message
    Quit, // reply to QUIT
    Pop3Greeting, // POP3 login before sending: the greeting
    Pop3User, // reply to USER
    Pop3Pass, // reply to PASS
    Pop3Quit, // reply to QUIT; the login is over once it comes
    Count // not a state: the number of states
};

// What entering a state sends.
enum class SmtpCommand {
    None,
    Hello, // EHLO or HELO with the sender's domain
    StartTls,
    AuthLogin,
    AuthSasl, // AUTH with the chosen mechanism, and its initial response when it fits
    MailFrom,
    RcptTo, // the envelope's next recipient
    Data,
    EndOfData, // a relayed message and the end-of-data line, or the line alone
    Quit, // SMTP and POP3 alike
    Pop3User,
    Pop3Pass,
};

// What bounds the wait in a state for the event that leaves it.
enum class SmtpWait {
    None, // nothing is awaited: the state is left by the session's own step
    Connect, // ConnectTimeout
    Message, // MessageTimeout
    Login, // the 5 s an AUTH LOGIN has
    Goodbye, // the 2 s the reply to QUIT has
};

struct SmtpStateRow
{
    SmtpState state;
    const char *name;
    SmtpCommand command; // sent on entering
    const char *status; // raised on entering; null for none
    SmtpWait wait;
    bool pop3; // part of the POP3 login before sending: its replies are single lines
    bool transaction; // a 5xx here refuses the message for good
    RelayOutcome silence; // the class of a failure without a reply: time-out, drop, stop
};

// One row per state, in the order of SmtpState. A new state (a login mechanism, say) is its
// value in SmtpState, its row here and its case in the judgement; a new command also its
// SmtpCommand value and its bytes (SmtpSession::commandOf).
inline constexpr std::array<SmtpStateRow, static_cast<std::size_t>(SmtpState::Count)> kSmtpStates
    = {{
        // clang-format off
        // state, name, command, status on entering, wait, pop3, transaction, silence
        {SmtpState::Closed,       "Closed",       SmtpCommand::None,      nullptr,                            SmtpWait::None,    false, false, RelayOutcome::Temporary},
        {SmtpState::Connecting,   "Connecting",   SmtpCommand::None,      nullptr,                            SmtpWait::Connect, false, false, RelayOutcome::Temporary},
        {SmtpState::Greeting,     "Greeting",     SmtpCommand::None,      nullptr,                            SmtpWait::Connect, false, false, RelayOutcome::Temporary},
        {SmtpState::Hello,        "Hello",        SmtpCommand::Hello,     "Initializing Communications...",   SmtpWait::Connect, false, false, RelayOutcome::Temporary},
        {SmtpState::StartTls,     "StartTls",     SmtpCommand::StartTls,  nullptr,                            SmtpWait::Connect, false, false, RelayOutcome::Temporary},
        {SmtpState::TlsHandshake, "TlsHandshake", SmtpCommand::None,      nullptr,                            SmtpWait::Connect, false, false, RelayOutcome::Temporary},
        {SmtpState::Auth,         "Auth",         SmtpCommand::AuthLogin, "Sending Login Authentication...",  SmtpWait::Login,   false, false, RelayOutcome::Temporary},
        {SmtpState::SaslAuth,     "SaslAuth",     SmtpCommand::AuthSasl,  "Sending Login Authentication...",  SmtpWait::Message, false, false, RelayOutcome::Temporary},
        {SmtpState::Ready,        "Ready",        SmtpCommand::None,      nullptr,                            SmtpWait::None,    false, false, RelayOutcome::Temporary},
        {SmtpState::MailFrom,     "MailFrom",     SmtpCommand::MailFrom,  "Sending Sender Information...",    SmtpWait::Message, false, true,  RelayOutcome::Temporary},
        {SmtpState::RcptTo,       "RcptTo",       SmtpCommand::RcptTo,    "Sending Recipient Information...", SmtpWait::Message, false, true,  RelayOutcome::Temporary},
        {SmtpState::Data,         "Data",         SmtpCommand::Data,      "Sending Message...",               SmtpWait::Message, false, true,  RelayOutcome::Temporary},
        {SmtpState::Content,      "Content",      SmtpCommand::None,      nullptr,                            SmtpWait::None,    false, true,  RelayOutcome::Temporary},
        {SmtpState::DataEnd,      "DataEnd",      SmtpCommand::EndOfData, nullptr,                            SmtpWait::Message, false, true,  RelayOutcome::Ambiguous},
        {SmtpState::Accepted,     "Accepted",     SmtpCommand::None,      nullptr,                            SmtpWait::None,    false, false, RelayOutcome::Temporary},
        {SmtpState::Quit,         "Quit",         SmtpCommand::Quit,      nullptr,                            SmtpWait::Goodbye, false, false, RelayOutcome::Temporary},
        {SmtpState::Pop3Greeting, "Pop3Greeting", SmtpCommand::None,      nullptr,                            SmtpWait::Connect, true,  false, RelayOutcome::Temporary},
        {SmtpState::Pop3User,     "Pop3User",     SmtpCommand::Pop3User,  nullptr,                            SmtpWait::Connect, true,  false, RelayOutcome::Temporary},
        {SmtpState::Pop3Pass,     "Pop3Pass",     SmtpCommand::Pop3Pass,  nullptr,                            SmtpWait::Connect, true,  false, RelayOutcome::Temporary},
        {SmtpState::Pop3Quit,     "Pop3Quit",     SmtpCommand::Quit,      nullptr,                            SmtpWait::Connect, true,  false, RelayOutcome::Temporary},
        // clang-format on
    }};

// Row i describes state i: a state added without its row, or a row out of place, does not
// compile.
constexpr bool smtpStatesInOrder()
{
    for (std::size_t i = 0; i < kSmtpStates.size(); ++i) {
        if (static_cast<std::size_t>(kSmtpStates[i].state) != i || kSmtpStates[i].name == nullptr)
            return false;
    }
    return true;
}
static_assert(smtpStatesInOrder(), "kSmtpStates needs one row per SmtpState, in its order");

constexpr const SmtpStateRow &smtpStateRow(SmtpState state)
{
    return kSmtpStates[static_cast<std::size_t>(state)];
}

inline const char *smtpStateName(SmtpState state)
{
    return smtpStateRow(state).name;
}

// Where XOAUTH2 and OAUTHBEARER get an access token, asked afresh at each login: the
// token, or none with `error` saying why (never holding a secret).
using AccessTokenSource = std::function<std::optional<QString>(QString &error)>;

// What the session reads of its mail object, taken when a public operation begins: the
// session never reaches into the object's properties.
struct SessionSettings
{
    QString host; // the SMTP server; empty: the mail exchanger of the default domain
    qint32 port = 25;
    bool useAuthentication = false; // EHLO, and the login when the server offers one
    // How the login goes: empty for AUTH LOGIN whenever the EHLO reply names PLAIN or
    // LOGIN (as this program always has); "auto" for the strongest SASL mechanism the server
    // offers; or a mechanism's name, which the server must offer.
    QString loginMethod;
    AccessTokenSource accessToken; // none: no token source
    QByteArray saslClientNonce; // SCRAM's nonce; empty: a random one (tests fix it)
    QString userName; // for the login and the POP3 login
    QString password;
    bool usePopAuthentication = false; // a POP3 login before sending
    QString pop3Host;
    qint32 pop3Port = 110;
    QString from; // the envelope sender; its domain names us in EHLO or HELO
    qint32 connectTimeout = 30; // seconds, for each connection attempt and greeting
    qint32 messageTimeout = 60; // seconds, for each step of a transaction
    qint32 connectRetry = 4; // connection attempts
    dns::MxQueryOptions mx; // where a missing host is looked up
};

// What the session (or the mail object) tells the object's owner, and the object itself.
struct SessionEvent
{
    enum class Kind {
        Status, // the Status event: `text`
        Progress, // the Progress event: `percent`
        Accepted, // the Accepted event
        SendFailed, // the SendFailed event: `text`
        SendSuccesful, // the SendSuccesful event
        HostFound, // the mail exchanger looked up for a missing host, `text`: the SMTPHost
    };
    Kind kind;
    QString text;
    qint32 percent = 0;

    static SessionEvent status(const QString &text) { return {Kind::Status, text, 0}; }
    static SessionEvent progress(qint32 percent) { return {Kind::Progress, {}, percent}; }
    static SessionEvent accepted() { return {Kind::Accepted, {}, 0}; }
    static SessionEvent sendFailed(const QString &text) { return {Kind::SendFailed, text, 0}; }
    static SessionEvent sendSuccesful() { return {Kind::SendSuccesful, {}, 0}; }
    static SessionEvent hostFound(const QString &host) { return {Kind::HostFound, host, 0}; }
};

// What the session needs of the object it serves: its events raised and its failures
// reported. The owner may be deleted inside any of these calls; its destructor then calls
// the session's release().
class SmtpSessionOwner
{
public:
    // Raises the event to the owner's handlers.
    virtual void sessionEvent(const SessionEvent &event) = 0;
    // Adds a text to the error list.
    virtual void sessionError(const QString &text) = 0;
    // Raises SendFailed with the error list; the operation ends.
    virtual void sessionFailure() = 0;
    // Reports that the SMTP host did not answer in time; the operation ends.
    virtual void sessionTimeout() = 0;

protected:
    ~SmtpSessionOwner() = default;
};

class SmtpSession : public QObject, public std::enable_shared_from_this<SmtpSession>
{
public:
    // Replies longer than this without an end are refused, never judged.
    static constexpr qsizetype kMaxReply = ReplyCollector::kLimit;

    SmtpSession(SmtpSessionOwner &owner, platform::SocketControl *socket);
    ~SmtpSession() override;
    SmtpSession(const SmtpSession &) = delete;
    SmtpSession &operator=(const SmtpSession &) = delete;

    // One public operation of the mail object in progress, from its first step to its end.
    // It keeps the session alive to its end, whatever the owner does with the mail object
    // meanwhile, hands the session the settings the operation uses, and tells the session an
    // operation waits on it (a close by the server then is a failure).
    class Operation
    {
    public:
        Operation(std::shared_ptr<SmtpSession> session, SessionSettings settings);
        ~Operation();
        Operation(const Operation &) = delete;
        Operation &operator=(const Operation &) = delete;
        SmtpSession *operator->() const { return session_.get(); }

    private:
        std::shared_ptr<SmtpSession> session_;
    };

    // The one place where the mail object's events are raised. The owner may release the
    // mail object from its handler; the object's destructor then releases the session, and
    // the result is false: the operation is over, and the caller must not touch the object
    // again. Status and Progress are not raised while the session is quiet.
    [[nodiscard]] bool deliver(const SessionEvent &event);
    // The mail object is going: from now on nothing reaches it or the socket, every wait in
    // progress ends at once, and every operation step returns false. The session's own
    // steps therefore need no guard after an event: they run on harmlessly to their end.
    void release();
    bool released() const { return owner_ == nullptr; }

    void setStopSource(const platform::StopSource *stop) { stop_ = stop; }
    void setKeepOpen(bool on) { keepOpen_ = on; }
    bool keepOpen() const { return keepOpen_; }
    // Whatever the server says while we say goodbye raises no event any more.
    void setQuiet() { quiet_ = true; }
    SmtpState state() const { return state_; }
    RelayOutcome outcome() const { return outcome_; }
    // True once a failure has been reported, a stop has ended the operation, or the mail
    // object has gone.
    bool aborted() const { return aborted_ || released(); }

    // A new public operation starts: no failure yet, nothing sent yet.
    void begin(qint64 estimatedTotal);
    // True when a greeted (and, if asked, authenticated) session is ready for a
    // transaction; opens one unless one is open already.
    [[nodiscard]] bool open();
    // One mail transaction to `recipients`: MAIL FROM, RCPT TO, DATA, the message (one
    // write, its line ends and dots made fit on the way) and the end-of-data line. True when
    // the server accepted it; the session is closed afterwards unless it is kept open.
    [[nodiscard]] bool relay(const QByteArray &wire, const QStringList &recipients);
    // A message written in pieces (composed, or relayed block by block): MAIL FROM, RCPT TO
    // for every recipient in order, DATA. True when the server waits for the content, which
    // the caller then writes piece by piece.
    [[nodiscard]] bool startContent(const QStringList &recipients);
    // One piece of the content (shown in the wire log as `logged` when given), made fit for
    // the data section on its way. False when it cannot reach the server.
    [[nodiscard]] bool write(const QByteArray &bytes, const QByteArray &logged = QByteArray());
    // The end-of-data line after the content, in one write with `last` (the content's last
    // piece, made fit like the others) when given; true when the server accepted the message
    // (closed afterwards unless kept open, as after a relay).
    [[nodiscard]] bool endContent(const QByteArray &last = QByteArray());
    // Socket progress reports so far, and a wait of at most `seconds` for the next one
    // after `seen`; no report when none comes. False on a failure or a stop.
    qint64 progressReports() const { return progressReports_; }
    [[nodiscard]] bool awaitProgress(qint64 seen, qint32 seconds);
    // Waits while more than `limit` bytes are still queued on the socket. A count that has
    // not moved for MessageTimeout seconds is reported as a time-out. False on a failure,
    // a time-out or a stop.
    [[nodiscard]] bool awaitQueue(qint64 limit);
    qint64 bytesQueued() const;
    // QUIT when connected (its reply awaited for at most 2 s), then the socket is closed.
    // `announce` raises the "Closing Connection..." status first. False when the mail object
    // went meanwhile.
    [[nodiscard]] bool close(bool announce = true);
    // A failure has been reported: every wait in progress ends.
    void abort();
    // The failure's class, unless an earlier failure of this operation has set one.
    void classify(RelayOutcome outcome);

private:
    // Every socket event runs with the session kept alive: its handler may end with the
    // mail object, and so with the object's hold on the session, gone.
    template<typename... Args> auto onSocket(void (SmtpSession::*handler)(Args...));
    void attachSocket();
    void onConnectEvent();
    void onTlsReady();
    void onCloseEvent();
    void onDataArrival();
    void onSocketError(const QString &description);
    void onSendProgress(qint32 sent, qint32 queued);

    // The bytes of a command (empty for none), and in `logged` what the wire log shows of
    // them when that differs.
    QByteArray commandOf(SmtpCommand command, QByteArray &logged) const;
    void enter(SmtpState next);
    void sendMessage();
    void judge(const QByteArray &reply);
    void judgeHello(const QByteArray &reply);
    void judgeAuth(const QByteArray &reply);
    // The SASL login: the choice among the mechanisms the EHLO reply offers, each reply to
    // AUTH and its answers, one challenge's answer, and the cancel of an exchange the
    // mechanism cannot go on with (whatever the server replies to it ends the login).
    void startSasl(const QByteArray &ehloReply);
    void judgeSasl(const QByteArray &reply);
    void answerSasl(const QByteArray &reply);
    void cancelSasl(const QString &why);
    void saslFailed(const QString &text);
    // The access token for this connection's login, when the login method needs one; false
    // (reported) when the token source gives none.
    bool fetchAccessToken();
    void judgePop3(const QByteArray &reply);
    void answerChallenge(const QByteArray &reply);
    // Reports a failure of the current state: `text` goes to the error list.
    void fail(const QString &text, RelayOutcome outcome);
    void failOnTimeout();
    // Every wait of the session: until `done`, the deadline, or a stop through `stop`; at
    // once when the mail object has gone.
    void waitFor(const std::function<bool()> &done, QDeadlineTimer deadline,
                 const platform::StopSource *stop);
    // Waits while the state stays what it is; false when the state's time-out passed
    // (reported unless the state says otherwise), a failure ended it or a stop came.
    bool await();
    bool awaitRest();
    // Up to ConnectRetry attempts to reach `host` and `port`; once connected the session
    // waits in `greeting`.
    bool connectLoop(const QString &host, qint32 port, SmtpState greeting);
    bool pop3Login();
    // Progress, "Transmission Complete..." and the goodbye after the server took a message.
    bool finish();
    // After a wait of the content phase: false (after ending the operation on a stop) when
    // the operation is over, failed or stopped.
    bool settled();
    void sendRecipient();
    void replyTooLong(bool pop3);
    // Ends the operation at once on a stop request: no report, no goodbye wait.
    void stopNow();
    bool stopRequested() const;

    void status(const QString &text);
    void send(const QByteArray &bytes, const QByteArray &logged = QByteArray());
    qint16 socketState() const;
    qint32 timeoutOf(SmtpState state) const;

    // The mail object; null once it has gone.
    SmtpSessionOwner *owner_;
    QPointer<platform::SocketControl> socket_;
    const platform::StopSource *stop_ = nullptr;
    SessionSettings settings_;
    // Public operations of the mail object in progress.
    int operations_ = 0;
    ReplyCollector replies_;
    SmtpState state_ = SmtpState::Closed;
    // Where a connection being made goes once it is up.
    SmtpState afterConnect_ = SmtpState::Greeting;
    // The message of the relay under way (shared, not copied).
    QByteArray wire_;
    // Every byte of the data section goes through it: line ends and dot-stuffing.
    DataSection data_;
    // The transaction's recipients, and the one whose RCPT TO is answered next.
    QStringList envelope_;
    qsizetype rcptIndex_ = 0;
    // The transaction's content is written by the caller (Content state after DATA).
    bool composing_ = false;
    // The content's last piece, made fit, kept to go out with the end-of-data line.
    QByteArray lastPiece_;
    qint64 progressReports_ = 0;
    RelayOutcome outcome_ = RelayOutcome::Temporary;
    bool classified_ = false;
    bool aborted_ = false;
    bool keepOpen_ = false;
    bool quiet_ = false;
    // STARTTLS is required on this connection (port 587) and has not run yet.
    bool startTlsPending_ = false;
    // Learnt from the EHLO reply, and only from it (after STARTTLS, from the second one).
    bool authAdvertised_ = false;
    bool authParameter_ = false;
    // The SASL login under way: its mechanism, the initial response sent with AUTH (encoded)
    // or kept for the server's empty challenge when the line would be too long, and, once
    // cancelled, why. The token is this connection's; both go when the login ends.
    std::unique_ptr<SaslMechanism> sasl_;
    std::optional<QByteArray> saslInitial_;
    std::optional<QByteArray> saslPending_;
    std::optional<QString> saslCancelled_;
    QString accessToken_;
    qint64 bytesSent_ = 0;
    qint64 estimatedTotal_ = 0;
    qint32 lastPercentage_ = 0;
};

} // namespace vessamo::mail
