// libFuzzer target for the reply collector. The input is a script: append a chunk (maybe
// repeated, to pass the limit), then take every complete reply, or one line, as a session
// does. What is taken is the next slice of what was appended, a line ends with LF, a reply
// is complete (every line before its last a continuation line, its last not), and what
// stays behind holds no complete reply. An overflow is refused and cleared by the caller.
#include "fuzzcheck.h"
#include "mail/smtpreply.h"

#include <QByteArrayList>
#include <algorithm>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>

namespace {

using vessamo::mail::ReplyCollector;

// "250-...": three digits and a hyphen.
bool continues(QByteArrayView line)
{
    return line.size() >= 4 && line[3] == '-'
        && std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; });
}

// The complete lines of `bytes`, without their LF.
QByteArrayList lines(const QByteArray &bytes)
{
    const qsizetype end = bytes.lastIndexOf('\n');
    return end < 0 ? QByteArrayList() : bytes.first(end).split('\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    ReplyCollector collector;
    QByteArray pending; // appended and not yet taken
    while (in.remaining_bytes() > 0) {
        const int repeat = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange(2, 129);
        const QByteArray chunk = QByteArray::fromStdString(
            in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, 1024)));
        collector.append(chunk.repeated(repeat));
        pending += chunk.repeated(repeat);
        if (in.ConsumeBool()) {
            if (const auto line = collector.takeLine()) {
                check(line->endsWith('\n') && line->count('\n') == 1 && pending.startsWith(*line));
                pending.remove(0, line->size());
            } else {
                check(!pending.contains('\n'));
            }
            continue;
        }
        while (const auto reply = collector.takeReply()) {
            check(reply->endsWith('\n') && pending.startsWith(*reply));
            const QByteArrayList replyLines = lines(*reply);
            for (qsizetype i = 0; i < replyLines.size(); ++i)
                check(continues(replyLines[i]) == (i + 1 < replyLines.size()));
            pending.remove(0, reply->size());
        }
        for (const QByteArray &line : lines(pending))
            check(continues(line));
        check(collector.head(std::numeric_limits<qsizetype>::max()) == pending);
        if (collector.overflowed()) {
            collector.clear();
            pending.clear();
        }
    }
    return 0;
}
