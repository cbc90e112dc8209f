// Collects server replies from the bytes a socket delivers, so that a reply is judged only
// when it is complete. An SMTP reply ends at its final line (RFC 5321 section 4.2.1: every
// line but the last has "-" after the three-digit code); a POP3 reply is one line. Bytes
// that never complete a line are bounded: past the limit they are handed out as they are.
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

    // The next complete SMTP reply, all its lines with their line ends.
    std::optional<QByteArray> takeReply();
    // The next complete line, with its line end.
    std::optional<QByteArray> takeLine();

private:
    std::optional<QByteArray> take(qsizetype length);

    QByteArray buffer_;
};

// True for a line such as "250-SIZE 1000": a three-digit code followed by "-".
bool isContinuationLine(const QByteArray &line);

} // namespace vessamo::mail
