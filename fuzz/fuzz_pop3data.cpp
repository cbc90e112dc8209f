// libFuzzer target for the POP3 RETR receiver and the STAT parser. A RETR reply is either
// built from the input (status line, dot-stuffed message, terminator, then stray bytes) or
// taken as the raw input, and fed in blocks cut at points the input chooses. After every
// block the receiver must hold exactly what a plain line-by-line un-stuffing of the bytes
// so far gives, and must report the end, a refusal or an overlong status line in the very
// block that holds the deciding byte. A built reply must give back the message itself.
#include "routing/pop3session.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

namespace {

using vessamo::routing::Pop3MessageReceiver;
using Result = Pop3MessageReceiver::Result;
constexpr qsizetype kMaxStatus = Pop3MessageReceiver::kMaxStatusLine;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// What a receiver must have done after seeing `wire`, the bytes received so far.
struct Expected
{
    Result result = Result::NeedMore;
    qsizetype decidedAt = -1; // index of the byte that ended the reply, for a final result
    qsizetype statusLength = -1; // the status line with its LF, once complete
    QByteArray message;
};

// The message part: lines end at CR LF; "." alone ends the message, any other line loses
// a leading ".". An unfinished last line is written as far as it goes, except a lone "."
// or ".\r" that could still become the terminator.
void unstuff(const QByteArray &wire, qsizetype start, Expected &e)
{
    qsizetype pos = start;
    for (;;) {
        const qsizetype crlf = wire.indexOf("\r\n", pos);
        if (crlf < 0)
            break;
        const QByteArray line = wire.mid(pos, crlf - pos);
        if (line == ".") {
            e.result = Result::Complete;
            e.decidedAt = crlf + 1;
            return;
        }
        e.message += (line.startsWith('.') ? line.mid(1) : line) + "\r\n";
        pos = crlf + 2;
    }
    const QByteArray tail = wire.mid(pos);
    if (tail != "." && tail != ".\r")
        e.message += tail.startsWith('.') ? tail.mid(1) : tail;
}

Expected expect(const QByteArray &wire)
{
    Expected e;
    const qsizetype lf = wire.indexOf('\n');
    if (lf < 0 || lf >= kMaxStatus) {
        if (wire.size() > kMaxStatus) {
            e.result = Result::StatusTooLong;
            e.decidedAt = kMaxStatus;
        }
        return e;
    }
    e.statusLength = lf + 1;
    if (wire[0] != '+') {
        e.result = Result::NegativeStatus;
        e.decidedAt = lf;
        return e;
    }
    unstuff(wire, lf + 1, e);
    return e;
}

// Feeds `wire` in the given blocks and checks the receiver against expect() after each.
void feedAndCheck(const QByteArray &wire, const std::vector<qsizetype> &cuts)
{
    const Expected whole = expect(wire);
    // Re-deriving the expectation for every prefix costs a pass over the prefix; with many
    // tiny blocks only the final state is derived and the rest checked against it.
    const bool everyPrefix = cuts.size() <= 64;
    Pop3MessageReceiver receiver;
    QByteArray out;
    qsizetype fed = 0;
    bool ended = false;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const qsizetype end = i < cuts.size() ? cuts[i] : wire.size();
        // Never a null view: a socket block always points somewhere.
        const QByteArrayView block(wire.constData() + fed, end - fed);
        const qsizetype outBefore = out.size(); // feed() only ever appends
        const QByteArray statusBefore = receiver.statusLine();
        const Result r = receiver.feed(block, out);
        fed = end;
        if (ended) {
            // After the end nothing more is taken in.
            check(r == Result::Complete && out.size() == outBefore
                  && receiver.statusLine() == statusBefore);
            continue;
        }
        check(out.size() <= fed && receiver.statusLine().size() <= kMaxStatus);
        const bool decidedHere = whole.decidedAt >= 0 && whole.decidedAt < fed;
        if (decidedHere) {
            check(r == whole.result);
            ended = true;
        } else {
            check(r == Result::NeedMore);
        }
        if (everyPrefix || decidedHere) {
            const Expected e = expect(wire.first(fed));
            check(out == e.message);
            const qsizetype status = e.statusLength >= 0 ? e.statusLength : qMin(fed, kMaxStatus);
            check(receiver.statusLine() == wire.first(status));
            if (e.statusLength >= 0 && whole.result != Result::NegativeStatus)
                check(receiver.dataReceived() == fed - e.statusLength);
        } else {
            check(whole.message.startsWith(out));
        }
    }
    if (!ended)
        check(out == whole.message);
}

// How the reply is cut into blocks: a block every `stride` bytes, or, with a stride of 0, at
// up to 64 offsets. Read from the input before the bytes are, applied once their number is
// known.
struct Cutting
{
    qsizetype stride = 0;
    std::vector<uint16_t> offsets;

    static Cutting read(FuzzedDataProvider &in)
    {
        Cutting c;
        c.stride = in.ConsumeIntegralInRange<qsizetype>(0, 8);
        const auto count = in.ConsumeIntegralInRange<int>(0, 64);
        for (int i = 0; i < count; ++i)
            c.offsets.push_back(in.ConsumeIntegral<uint16_t>());
        return c;
    }

    std::vector<qsizetype> cuts(qsizetype size) const
    {
        std::vector<qsizetype> v;
        if (stride > 0) {
            for (qsizetype at = stride; at < size; at += stride)
                v.push_back(at);
            return v;
        }
        for (uint16_t offset : offsets)
            v.push_back(qsizetype(offset) % (size + 1));
        std::sort(v.begin(), v.end());
        return v;
    }
};

QByteArray statusLine(FuzzedDataProvider &in)
{
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
        return "+OK\r\n";
    case 1:
        return "+OK\n"; // a bare LF ends the status line too
    case 2:
        return "-ERR no such message\r\n";
    case 3:
        // Around the length limit: 4,090 x's make a line of exactly 4,096 bytes.
        return "+OK " + QByteArray(in.ConsumeIntegralInRange<qsizetype>(4080, 4100), 'x') + "\r\n";
    default:
        return "+OK 120 octets\r\n";
    }
}

// The message as a server sends it: every line that begins with "." gets one more, a last
// line without its line end gets one, and "." alone ends it.
QByteArray stuffed(const QByteArray &message)
{
    QList<QByteArray> lines = message.split('\n');
    QByteArray wire;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        // split('\n') cuts at every LF; only a CR before it makes a line end.
        QByteArray piece = lines[i];
        const bool last = i + 1 == lines.size();
        if (piece.startsWith('.') && (i == 0 || lines[i - 1].endsWith('\r')))
            piece.prepend('.');
        wire += piece;
        if (!last)
            wire += '\n';
    }
    if (!message.isEmpty() && !message.endsWith("\r\n"))
        wire += "\r\n";
    return wire + ".\r\n";
}

// The STAT parser against a plain reading of the first line: "+OK", then two decimal
// numbers of at most 18 digits, words separated by spaces or tabs.
void checkStat(const QByteArray &input)
{
    const auto lineEnd
        = std::find_if(input.begin(), input.end(), [](char c) { return c == '\r' || c == '\n'; });
    QByteArray line = input.left(lineEnd - input.begin());
    line.replace('\t', ' ');
    QList<QByteArray> words = line.split(' ');
    words.removeAll(QByteArray());
    auto isNumber = [](const QByteArray &w) {
        return w.size() <= 18
            && std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const bool valid
        = words.size() >= 3 && words[0] == "+OK" && isNumber(words[1]) && isNumber(words[2]);
    const auto stat = vessamo::routing::parseStatReply(input);
    check(stat.has_value() == valid);
    if (stat)
        check(stat->count == words[1].toLongLong() && stat->size == words[2].toLongLong());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    checkStat(input);

    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        // Arbitrary bytes as a RETR reply.
        const Cutting cutting = Cutting::read(in);
        const QByteArray wire = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());
        feedAndCheck(wire, cutting.cuts(wire.size()));
        return 0;
    }

    const QByteArray status = statusLine(in);
    const auto strayLength = in.ConsumeIntegralInRange<std::size_t>(0, 16);
    const Cutting cutting = Cutting::read(in);
    const std::size_t messageLength
        = in.remaining_bytes() - std::min(strayLength, in.remaining_bytes());
    const QByteArray message = QByteArray::fromStdString(in.ConsumeBytesAsString(messageLength));
    const QByteArray stray = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());

    const QByteArray body = stuffed(message);
    const QByteArray wire = status + body + stray;
    feedAndCheck(wire, cutting.cuts(wire.size()));

    // The round trip: a positive reply of acceptable length gives back the message, with a
    // line end added where the server had to add one, and ends at the terminator's LF.
    if (status.startsWith('+') && status.size() <= kMaxStatus) {
        const Expected e = expect(wire);
        check(e.result == Result::Complete);
        check(e.decidedAt == status.size() + body.size() - 1);
        const bool addEnd = !message.isEmpty() && !message.endsWith("\r\n");
        check(e.message == (addEnd ? message + "\r\n" : message));
    }
    return 0;
}
