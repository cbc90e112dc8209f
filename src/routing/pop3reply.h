// POP3 replies as bytes: the figures of a STAT reply, the capabilities of a CAPA reply, the
// APOP timestamp of a greeting, and a RETR reply un-stuffed as it arrives in blocks of any
// size. Pure over bytes: no socket, no session (pop3session.h
// drives them).
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <optional>

namespace vessamo::routing {

// The figures of a positive STAT reply ("+OK count size", RFC 1939 section 5).
struct Pop3Stat
{
    qint64 count = 0;
    qint64 size = 0;
};

// The count and size of a STAT reply; nothing when the reply is not positive or does not
// hold both numbers. Only the first line counts; text after the size is allowed.
std::optional<Pop3Stat> parseStatReply(QByteArrayView reply);

// What a CAPA reply (RFC 2449) says about logging in.
struct Pop3Capabilities
{
    bool listed = false; // the reply was positive (a server that refuses CAPA lists nothing)
    bool user = false; // "USER": USER/PASS is allowed
    QByteArrayList sasl; // the mechanisms of the "SASL" line, upper case
};

// The length of a CAPA reply at the start of `bytes` once it is complete: a negative status
// line alone, or a positive one and the lines up to one that holds "." alone. -1 while it
// is not complete yet.
qsizetype capaReplyLength(QByteArrayView bytes);

// The capabilities of a complete CAPA reply. Capability lines are never dot-stuffed in
// practice, and a line that begins with "." is not a capability anyone asks about.
Pop3Capabilities parseCapaReply(QByteArrayView reply);

// The timestamp of an APOP greeting (RFC 1939 section 7): "<" up to the next ">", with an
// "@" inside and no blank or control character; nothing when the greeting has none.
std::optional<QByteArray> apopTimestamp(QByteArrayView greeting);

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
    const QByteArray &statusLine() const { return status_; }
    // Bytes of the reply received after the status line (what the progress bar counts).
    qint64 dataReceived() const { return dataReceived_; }

private:
    enum class Phase { Status, LineStart, Dot, DotCr, InLine, Done };
    Result feedStatus(QByteArrayView block, qsizetype &pos);

    Phase phase_ = Phase::Status;
    bool prevCr_ = false;
    QByteArray status_;
    qint64 dataReceived_ = 0;
};

} // namespace vessamo::routing
