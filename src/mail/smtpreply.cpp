#include "mail/smtpreply.h"

namespace vessamo::mail {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool isContinuationLine(const QByteArray &line)
{
    return line.size() >= 4 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2])
        && line[3] == '-';
}

// The first `length` bytes, or, without a line end, nothing until the limit and then all.
std::optional<QByteArray> ReplyCollector::take(qsizetype length)
{
    if (length < 0) {
        if (buffer_.size() < kLimit)
            return std::nullopt;
        length = buffer_.size();
    }
    QByteArray taken = buffer_.left(length);
    buffer_.remove(0, length);
    return taken;
}

std::optional<QByteArray> ReplyCollector::takeLine()
{
    // A bare LF ends a line too: some servers send one.
    const qsizetype lf = buffer_.indexOf('\n');
    return take(lf < 0 ? -1 : lf + 1);
}

std::optional<QByteArray> ReplyCollector::takeReply()
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = buffer_.indexOf('\n', start);
        if (lf < 0 || !isContinuationLine(buffer_.mid(start, 4)))
            return take(lf < 0 ? -1 : lf + 1);
        start = lf + 1;
    }
}

} // namespace vessamo::mail
