// libFuzzer target for the reply collector. The input is a script of steps: append bytes
// (a chunk, possibly repeated to pass the limit), take a reply, take a line, take every
// reply, or clear. A model of the buffer (everything appended minus everything taken)
// checks each answer: what is taken is the next slice of the input and always complete
// (non-final lines are continuation lines, the last line is not, and it ends with LF); a
// refusal means no complete reply was there; the overflow is reported exactly when the
// bytes waiting reach the limit, and is never handed out as a reply.
#include "mail/smtpreply.h"

#include <QByteArray>
#include <QList>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <optional>

namespace {

using vessamo::mail::ReplyCollector;
constexpr qsizetype kLimit = ReplyCollector::kLimit;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// "250-...": three digits and a hyphen.
bool continues(const QByteArray &line)
{
    if (line.size() < 4 || line[3] != '-')
        return false;
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
    }
    return true;
}

// The length of the first complete reply in `bytes`, or -1.
qsizetype firstReply(const QByteArray &bytes)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = bytes.indexOf('\n', start);
        if (lf < 0)
            return -1;
        if (!continues(bytes.mid(start, lf + 1 - start)))
            return lf + 1;
        start = lf + 1;
    }
}

// `taken` must be what the model says comes next; the model moves on past it.
void takeFromModel(QByteArray &pending, const QByteArray &taken, qsizetype expectedLength)
{
    check(expectedLength > 0);
    check(taken == pending.first(expectedLength));
    pending.remove(0, expectedLength);
}

void takeReply(ReplyCollector &collector, QByteArray &pending)
{
    const std::optional<QByteArray> reply = collector.takeReply();
    const qsizetype length = firstReply(pending);
    if (!reply) {
        check(length < 0);
        return;
    }
    takeFromModel(pending, *reply, length);
    // A complete reply: LF at the end, every line before the last a continuation.
    check(reply->endsWith('\n'));
    const QList<QByteArray> lines = reply->chopped(1).split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        check(continues(lines[i] + '\n'));
    check(!continues(lines.last() + '\n'));
}

void takeLine(ReplyCollector &collector, QByteArray &pending)
{
    const std::optional<QByteArray> line = collector.takeLine();
    const qsizetype lf = pending.indexOf('\n');
    if (!line) {
        check(lf < 0);
        return;
    }
    takeFromModel(pending, *line, lf + 1);
}

// As a session does after each block: every complete reply; then the rest waits below
// the limit, or has reached it, is reported, shown by its head and refused.
void drain(ReplyCollector &collector, QByteArray &pending)
{
    while (!pending.isEmpty() && firstReply(pending) >= 0)
        takeReply(collector, pending);
    takeReply(collector, pending);
    check(collector.overflowed() == (pending.size() >= kLimit));
    check(collector.head(200) == pending.left(200));
    if (collector.overflowed()) {
        collector.clear();
        pending.clear();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    ReplyCollector collector;
    QByteArray pending;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
        case 1: {
            // Half the chunks once, the others 2 to 129 times: enough to pass the limit
            // without making every input a slow one.
            const int byte = in.ConsumeIntegral<uint8_t>();
            const int repeat = byte < 128 ? 1 : byte - 126;
            const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 1024);
            const QByteArray chunk
                = QByteArray::fromStdString(in.ConsumeBytesAsString(length)).repeated(repeat);
            collector.append(chunk);
            pending += chunk;
            break;
        }
        case 2:
            takeReply(collector, pending);
            break;
        case 3:
            takeLine(collector, pending);
            break;
        case 4:
            drain(collector, pending);
            break;
        default:
            collector.clear();
            pending.clear();
            break;
        }
        check(collector.isEmpty() == pending.isEmpty());
    }
    drain(collector, pending);
    check(collector.isEmpty() == pending.isEmpty());
    return 0;
}
