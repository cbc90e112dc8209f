// POP3 replies as bytes: the STAT and CAPA parsers, the APOP timestamp and the RETR
// un-stuffer.
#include "routing/pop3reply.h"

#include <cstring>

namespace vessamo::routing {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A decimal number of at most 18 digits (no overflow in qint64); false otherwise.
bool parseDecimal(QByteArrayView text, qint64 &value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    qint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// The next blank-separated word of `line` from `pos`; empty at the end.
QByteArrayView nextWord(QByteArrayView line, qsizetype &pos)
{
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    const qsizetype start = pos;
    while (pos < line.size() && !isBlank(line[pos]))
        ++pos;
    return line.sliced(start, pos - start);
}

} // namespace

std::optional<Pop3Stat> parseStatReply(QByteArrayView reply)
{
    qsizetype end = 0;
    while (end < reply.size() && reply[end] != '\r' && reply[end] != '\n')
        ++end;
    const QByteArrayView line = reply.first(end);
    qsizetype pos = 0;
    if (nextWord(line, pos) != QByteArrayView("+OK"))
        return std::nullopt;
    Pop3Stat stat;
    if (!parseDecimal(nextWord(line, pos), stat.count)
        || !parseDecimal(nextWord(line, pos), stat.size))
        return std::nullopt;
    return stat;
}

qsizetype capaReplyLength(QByteArrayView bytes)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        QByteArrayView line = bytes.sliced(start, i - start);
        if (line.endsWith('\r'))
            line.chop(1);
        if (start == 0 ? !line.startsWith('+') : line == QByteArrayView("."))
            return i + 1;
        start = i + 1;
    }
    return -1;
}

Pop3Capabilities parseCapaReply(QByteArrayView reply)
{
    Pop3Capabilities capabilities;
    qsizetype start = 0;
    bool first = true;
    while (start < reply.size()) {
        qsizetype end = start;
        while (end < reply.size() && reply[end] != '\n')
            ++end;
        QByteArrayView line = reply.sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = end + 1;
        if (first) {
            first = false;
            if (!line.startsWith('+'))
                return capabilities;
            capabilities.listed = true;
            continue;
        }
        qsizetype pos = 0;
        const QByteArray keyword = nextWord(line, pos).toByteArray().toUpper();
        if (keyword == "USER")
            capabilities.user = true;
        else if (keyword == "SASL")
            capabilities.sasl += line.sliced(pos).toByteArray().simplified().toUpper().split(' ');
    }
    capabilities.sasl.removeAll(QByteArray());
    return capabilities;
}

std::optional<QByteArray> apopTimestamp(QByteArrayView greeting)
{
    const qsizetype open = greeting.indexOf('<');
    if (open < 0)
        return std::nullopt;
    const qsizetype close = greeting.indexOf('>', open);
    if (close < 0)
        return std::nullopt;
    const QByteArrayView stamp = greeting.sliced(open, close - open + 1);
    for (const char c : stamp) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 127)
            return std::nullopt;
    }
    if (!stamp.contains('@') || stamp.size() < 5)
        return std::nullopt;
    return stamp.toByteArray();
}

// --- Pop3MessageReceiver ------------------------------------------------------------------

void Pop3MessageReceiver::reset()
{
    phase_ = Phase::Status;
    prevCr_ = false;
    status_.clear();
    dataReceived_ = 0;
}

Pop3MessageReceiver::Result Pop3MessageReceiver::feedStatus(QByteArrayView block, qsizetype &pos)
{
    const void *lf = std::memchr(block.data(), '\n', static_cast<std::size_t>(block.size()));
    const qsizetype take = lf ? static_cast<const char *>(lf) - block.data() + 1 : block.size();
    if (status_.size() + take > kMaxStatusLine) {
        status_.append(block.first(qMin(take, kMaxStatusLine - status_.size())));
        phase_ = Phase::Done;
        return Result::StatusTooLong;
    }
    status_.append(block.first(take));
    pos = take;
    if (!lf)
        return Result::NeedMore;
    if (!status_.startsWith('+')) {
        phase_ = Phase::Done;
        return Result::NegativeStatus;
    }
    // The status line's own line end: the message starts at the beginning of a line.
    phase_ = Phase::LineStart;
    return Result::NeedMore;
}

Pop3MessageReceiver::Result Pop3MessageReceiver::feed(QByteArrayView block, QByteArray &out)
{
    qsizetype pos = 0;
    if (phase_ == Phase::Done)
        return Result::Complete;
    // Nothing to read (and an empty view may have no data to search).
    if (block.isEmpty())
        return Result::NeedMore;
    if (phase_ == Phase::Status) {
        const Result r = feedStatus(block, pos);
        if (r != Result::NeedMore || phase_ == Phase::Status)
            return r;
    }
    const char *d = block.data();
    const qsizetype n = block.size();
    dataReceived_ += n - pos;
    // Lines end in CR LF (RFC 1939 section 3); only there does a new line begin, so only
    // there is a "." stuffing or the terminator.
    while (pos < n) {
        switch (phase_) {
        case Phase::LineStart:
            if (d[pos] == '.') {
                phase_ = Phase::Dot;
                ++pos;
            } else {
                phase_ = Phase::InLine;
            }
            break;
        case Phase::Dot:
            if (d[pos] == '\r') {
                phase_ = Phase::DotCr;
                ++pos;
            } else {
                // A stuffed line: its first "." is dropped, the rest written as it came.
                phase_ = Phase::InLine;
            }
            break;
        case Phase::DotCr:
            if (d[pos] == '\n') {
                phase_ = Phase::Done;
                return Result::Complete;
            }
            // "." CR and more before the line end: stuffed too.
            out.append('\r');
            prevCr_ = true;
            phase_ = Phase::InLine;
            break;
        case Phase::InLine:
            // Lines are copied in one run, up to the block's end or to the end of a line
            // after which a line begins with "." (or may: the block ends there).
            for (qsizetype at = pos;;) {
                const void *lf = std::memchr(d + at, '\n', static_cast<std::size_t>(n - at));
                if (!lf) {
                    out.append(d + pos, n - pos);
                    prevCr_ = d[n - 1] == '\r';
                    pos = n;
                    break;
                }
                const qsizetype i = static_cast<const char *>(lf) - d;
                const bool crlf = i > pos ? d[i - 1] == '\r' : prevCr_;
                at = i + 1;
                if (crlf && (at == n || d[at] == '.')) {
                    out.append(d + pos, at - pos);
                    prevCr_ = false;
                    pos = at;
                    phase_ = Phase::LineStart;
                    break;
                }
            }
            break;
        case Phase::Status:
        case Phase::Done:
            return Result::Complete;
        }
    }
    return Result::NeedMore;
}

} // namespace vessamo::routing
