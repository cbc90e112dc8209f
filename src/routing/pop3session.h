// POP3 retrieval: one session per mailbox on the routing form's socket `wsckRebre`.
// USER, PASS, STAT, then for each message RETR into a queued pair, DELE once the pair is
// committed under its final name, and QUIT once everything stored in the session has been
// flushed to disk (the server deletes the marked messages only at QUIT).
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
// The dialogue goes to the wire log (platform::lcWirePop3) with the password masked and
// one line per message instead of its text.
#pragma once

#include "routing/pop3reply.h"
#include "routing/queue.h"
#include "routing/runcontext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
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
    User, // reply to USER
    Pass, // reply to PASS
    Stat, // reply to STAT
    Retr, // RETR reply: status line and message data
    Dele, // reply to DELE
    Quit, // reply to QUIT
};

inline constexpr std::size_t kPop3StateCount = static_cast<std::size_t>(Pop3State::Quit) + 1;

// One POP3 session at a time on a socket that the routing form owns.
class Pop3Session : public QObject
{
public:
    // Replies other than message data are judged once a line end came; without one within
    // this many bytes the reply is refused.
    static constexpr qsizetype kMaxReply = 4096;

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

    // Reads the mailbox into the queue folder of the run's configuration. Returns when the
    // session is over or the run's stop is requested.
    void LlegirBustia(const config::Bustia &bustia);
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
