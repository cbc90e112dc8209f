// libFuzzer target for the POP3 STAT parser, the CAPA reader, the APOP timestamp and the
// RETR receiver. The input is fed as a RETR reply in one block and in blocks of a size it
// chooses: the result, the status line and the message must not depend on where the blocks
// are cut, and nothing is taken in after the end. A message stuffed the way a server sends
// it must come back unchanged. A CAPA reply ends at one place only, and a timestamp is a
// piece of the greeting of the shape APOP needs.
#include "fuzzcheck.h"
#include "routing/pop3session.h"
#include "support/mailwire.h"

#include <fuzzer/FuzzedDataProvider.h>

using vessamo::routing::Pop3MessageReceiver;
using Result = Pop3MessageReceiver::Result;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    // Only the first line counts, and the numbers never overflow.
    const auto stat = vessamo::routing::parseStatReply(input);
    const qsizetype lineEnd = input.indexOf('\n');
    check(stat.has_value()
          == vessamo::routing::parseStatReply(input.first(lineEnd < 0 ? input.size() : lineEnd))
                 .has_value());
    check(!stat || (stat->count >= 0 && stat->size >= 0));

    const qsizetype capaEnd = vessamo::routing::capaReplyLength(input);
    check(capaEnd == -1 || (capaEnd > 0 && capaEnd <= input.size()));
    if (capaEnd > 0) {
        check(vessamo::routing::capaReplyLength(input.first(capaEnd)) == capaEnd);
        check(vessamo::routing::capaReplyLength(input.first(capaEnd - 1)) == -1);
    }
    for (const QByteArray &mechanism : vessamo::routing::parseCapaReply(input).sasl)
        check(!mechanism.isEmpty() && mechanism == mechanism.toUpper() && !mechanism.contains(' '));
    if (const auto stamp = vessamo::routing::apopTimestamp(input)) {
        check(stamp->startsWith('<') && stamp->endsWith('>') && stamp->contains('@')
              && input.contains(*stamp));
    }

    FuzzedDataProvider in(data, size);
    const auto stride = in.ConsumeIntegralInRange<qsizetype>(1, 64);
    const bool roundTrip = in.ConsumeBool();
    const QByteArray rest = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());
    // As a server stuffs it: a last line gets its line end, "." alone ends the message.
    const QByteArray message = rest.isEmpty() || rest.endsWith("\r\n") ? rest : rest + "\r\n";
    const QByteArray wire
        = roundTrip ? "+OK\r\n" + vessamo::test::relayedData(message) + ".\r\n" : rest;

    Pop3MessageReceiver whole;
    QByteArray wholeOut;
    const Result expected = whole.feed(wire, wholeOut);
    check(whole.statusLine().size() <= Pop3MessageReceiver::kMaxStatusLine);

    Pop3MessageReceiver cut;
    QByteArray out;
    bool ended = false;
    for (qsizetype at = 0; at < wire.size(); at += stride) {
        const qsizetype before = out.size();
        const Result r
            = cut.feed(QByteArrayView(wire).sliced(at, qMin(stride, wire.size() - at)), out);
        check(ended ? r == Result::Complete && out.size() == before
                    : r == Result::NeedMore || r == expected);
        ended = ended || r != Result::NeedMore;
        check(out.size() <= at + stride);
    }
    check(ended == (expected != Result::NeedMore) && out == wholeOut
          && cut.statusLine() == whole.statusLine());
    check(!roundTrip || (expected == Result::Complete && wholeOut == message));
    return 0;
}
