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

std::optional<QByteArray> ReplyCollector::takeLine()
{
    // A bare LF ends a line too: some servers send one.
    const qsizetype lf = buffer_.indexOf('\n');
    if (lf < 0)
        return std::nullopt;
    QByteArray line = buffer_.left(lf + 1);
    buffer_.remove(0, lf + 1);
    return line;
}

std::optional<QByteArray> ReplyCollector::takeReply()
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = buffer_.indexOf('\n', start);
        if (lf < 0)
            return std::nullopt;
        if (!isContinuationLine(buffer_.mid(start, 4))) {
            QByteArray reply = buffer_.left(lf + 1);
            buffer_.remove(0, lf + 1);
            return reply;
        }
        start = lf + 1;
    }
}

} // namespace vessamo::mail
