// POP3 retrieval: one session per mailbox on the routing form's socket `wsckRebre`.
// USER, PASS, STAT, then for each message RETR into a queued pair, DELE once the pair is
// committed under its final name, and QUIT once everything stored in the session has been
// flushed to disk (the server deletes the marked messages only at QUIT).
//
// Life cycle: the run calls LlegirBustia() for each mailbox; it connects and waits in the
// event loop until the session is over or the run's abort flag is set. The dialogue is
// driven by the socket's events. Replies are judged only when their line is complete;
// message data goes through Pop3MessageReceiver, the one place that drops the RETR status
// line, undoes the dot-stuffing and finds the terminating "." line across blocks.
//
// Failures: a negative or malformed reply is logged as "Rebent: " + reply and ends the
// session (the run goes on); a socket error or a close by the server before the QUIT reply
// is logged as "Rebent Winsock: " + number + ": " + description and sets the run's abort
// flag. A message cut off by either, or by an abort, is discarded: it was not deleted from
// the server and the next run fetches it whole.
#pragma once

#include "routing/queue.h"
#include "routing/runcontext.h"

#include <QByteArray>
#include <QByteArrayView>
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

    Pop3Session(platform::SocketControl &wsckRebre, RunContext &run, QObject *parent = nullptr);
    ~Pop3Session() override;
    Pop3Session(const Pop3Session &) = delete;
    Pop3Session &operator=(const Pop3Session &) = delete;

    // Reads the mailbox `config::Busties[index]` into the queue folder of the
    // configuration. Returns when the session is over or the run's abort flag is set; the
    // run looks at the abort flag afterwards. An index outside the table does nothing.
    void LlegirBustia(qsizetype index);

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
    void messageComplete();
    void startMessage(qint64 number);
    void sendQuit();
    void sendCommand(const QByteArray &command, const QString &statusText);
    // Ends the session without QUIT after a refused reply or a store failure.
    void refuse(const QString &logText);
    // Ends the session on a socket failure: logged, abort set.
    void socketFailure(qint16 number, const QString &description);
    void endSession();

    platform::SocketControl &m_socket;
    RunContext &m_run;

    Pop3State m_state = Pop3State::Greeting;
    qsizetype m_index = -1;
    qint64 m_count = 0;
    qint64 m_number = 0;
    qint64 m_total = 0;
    qint64 m_received = 0;
    bool m_busy = false;

    QByteArray m_reply; // a reply line not yet complete
    Pop3MessageReceiver m_receiver;
    QByteArray m_out; // un-stuffed bytes of the current block, reused
    std::optional<QueuedMessageFile> m_file;
    QStringList m_committed; // message files of this session not yet flushed to disk
};

} // namespace vessamo::routing
