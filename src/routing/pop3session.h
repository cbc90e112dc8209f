// POP3 retrieval: one session per mailbox on the routing form's socket `wsckRebre`.
// USER, PASS, STAT, then for each message RETR into a queued pair, DELE once the pair is
// committed under its final name, and QUIT once everything stored in the session has been
// flushed to disk (the server deletes the marked messages only at QUIT).
//
// Life cycle: the run calls LlegirBustia() for each mailbox; it connects and waits in the
// event loop until the session is over or the run's stop is requested. The dialogue is
// driven by the socket's events. Replies are judged only when their line is complete;
// message data goes through Pop3MessageReceiver, the one place that drops the RETR status
// line, undoes the dot-stuffing and finds the terminating "." line across blocks.
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

#include "routing/queue.h"
#include "routing/runcontext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace vessamo::platform {
class SocketControl;
}

namespace vessamo::routing {

// What the reply received in each state answers.
enum class Pop3State : int {
    Greeting = 0, // the server's greeting
    User = 1, // reply to USER
    Pass = 2, // reply to PASS
    Stat = 3, // reply to STAT
    Retr = 4, // RETR reply: status line and message data
    Dele = 5, // reply to DELE
    Quit = 6, // reply to QUIT
};

inline constexpr std::array<const char *, 7> kPop3StateNames = {
    "Greeting", "User", "Pass", "Stat", "Retr", "Dele", "Quit",
};

inline const char *pop3StateName(Pop3State state)
{
    return kPop3StateNames[static_cast<std::size_t>(state)];
}

// The figures of a positive STAT reply ("+OK count size", RFC 1939 section 5).
struct Pop3Stat
{
    qint64 count = 0;
    qint64 size = 0;
};

// The count and size of a STAT reply; nothing when the reply is not positive or does not
// hold both numbers. Only the first line counts; text after the size is allowed.
std::optional<Pop3Stat> parseStatReply(QByteArrayView reply);

// Un-stuffs one RETR reply as it arrives in blocks of any size. The status line is
// collected (it may be split) and judged when complete; the message data that follows is
// appended to the caller's buffer with the first "." of every stuffed line removed, up to
// the line that holds "." alone, which is not written. Only a few bytes of the previous
// block are kept (an unfinished ".", ".\r" or a CR), never the block itself.
class Pop3MessageReceiver
{
public:
    enum class Result {
        NeedMore, // the message goes on
        Complete, // the terminating line came; bytes after it are ignored
        NegativeStatus, // the status line does not begin with "+"
        StatusTooLong, // no line end within kMaxStatusLine bytes
    };
    static constexpr qsizetype kMaxStatusLine = 4096;

    void reset();
    // Handles one block; message bytes go to the end of `out`.
    Result feed(QByteArrayView block, QByteArray &out);
    // The status line as received, with its line end once complete.
    const QByteArray &statusLine() const { return m_status; }
    // Bytes of the reply received after the status line (what the progress bar counts).
    qint64 dataReceived() const { return m_dataReceived; }

private:
    enum class Phase { Status, LineStart, Dot, DotCr, InLine, Done };
    Result feedStatus(QByteArrayView block, qsizetype &pos);

    Phase m_phase = Phase::Status;
    bool m_prevCr = false;
    QByteArray m_status;
    qint64 m_dataReceived = 0;
};

// One POP3 session at a time on a socket that the routing form owns.
class Pop3Session : public QObject
{
public:
    // Replies other than message data are judged once a line end came; without one within
    // this many bytes the reply is refused.
    static constexpr qsizetype kMaxReply = 4096;

    // Limits of one session, counted in ticks of the run's safety timer (1 s in service),
    // so that a silent server ends its session before the safety timer ends the run.
    // Silence that ends a session: half the safety timer's 121 ticks.
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
    void setSafetyTickMs(int ms) { m_tickMs = ms > 0 ? ms : 1000; }

    Pop3State state() const { return m_state; }
    bool busy() const { return m_busy; }
    qint64 messageCount() const { return m_count; }
    qint64 messageNumber() const { return m_number; }
    qint64 totalOctets() const { return m_total; }
    qint64 octetsReceived() const { return m_received; }

private:
    void onDataArrival();
    void onError(qint16 number, const QString &description);
    void onClose();

    void handleReply(const QByteArray &reply);
    void handleMessageData(QByteArrayView block);
    void drain(QByteArrayView block);
    void messageComplete();
    void startMessage(qint64 number);
    void sendQuit();
    // False when the command could not reach the server (it has closed already).
    bool sendCommand(const QByteArray &command, const QString &statusText);
    // The session's wait ran out: silence, or the session's deadline.
    void timeLimitReached();
    // Logs the failure and ends the session: with QUIT once logged in (unless `mayQuit` is
    // false: a silent server), else at once.
    void fail(const QString &logText, bool mayQuit = true);
    // Ends the session on a socket failure (logged); after QUIT the normal end.
    void socketFailure(qint16 number, const QString &description);
    void endSession();
    // Removes a stored pair from the queue (its message stays on the server).
    void removeStoredPair(const QueuePair &pair) const;
    qint64 ticksMs(qint64 ticks) const { return ticks * m_tickMs; }
    QString host() const;

    platform::SocketControl &m_socket;
    RunContext &m_run;

    Pop3State m_state = Pop3State::Greeting;
    config::Bustia bustia_; // the mailbox being read
    qint64 m_count = 0;
    qint64 m_number = 0;
    qint64 m_total = 0;
    qint64 m_received = 0;
    bool m_busy = false;

    QByteArray m_reply; // a reply line not yet complete
    Pop3MessageReceiver m_receiver;
    QByteArray m_out; // un-stuffed bytes of the current block, reused
    std::optional<QueuedMessageFile> m_file;
    // Pairs stored in this session before QUIT (flushed to disk when it is sent).
    QList<QueuePair> m_committed;

    int m_tickMs = 1000;
    QDeadlineTimer m_started;
    QDeadlineTimer m_idleDeadline;
    QDeadlineTimer m_sessionDeadline;
    QString m_lastCommand; // status text of the last command, for the silence text
    bool m_retrPending = false; // a RETR reply is (still) coming
    bool m_draining = false; // the rest of an abandoned RETR reply is read and dropped
    bool m_quitSent = false;
    bool m_failed = false; // a failure has been logged
};

} // namespace vessamo::routing
