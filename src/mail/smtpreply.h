// Collects server replies from the bytes a socket delivers, so that a reply is judged only
// when it is complete. An SMTP reply ends at its final line (RFC 5321 section 4.2.1: every
// line but the last has "-" after the three-digit code); a POP3 reply is one line. A reply
// that does not end within the limit is never handed out: the collector reports the
// overflow and its caller refuses it.
#pragma once

#include <QByteArray>
#include <optional>

namespace vessamo::mail {

class ReplyCollector
{
public:
    static constexpr qsizetype kLimit = 64 * 1024;

    void append(const QByteArray &bytes) { buffer_ += bytes; }
    void clear() { buffer_.clear(); }
    bool isEmpty() const { return buffer_.isEmpty(); }
    // True when the reply being collected has reached the limit without its end.
    bool overflowed() const { return buffer_.size() >= kLimit; }
    // The first `n` bytes collected, to show what an overlong reply was.
    QByteArray head(qsizetype n) const { return buffer_.left(n); }

    // The next complete SMTP reply, all its lines with their line ends.
    std::optional<QByteArray> takeReply();
    // The next complete line, with its line end.
    std::optional<QByteArray> takeLine();

private:
    QByteArray buffer_;
};

// True for a line such as "250-SIZE 1000": a three-digit code followed by "-".
bool isContinuationLine(const QByteArray &line);

} // namespace vessamo::mail
