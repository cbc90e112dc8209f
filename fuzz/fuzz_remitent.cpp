// libFuzzer target for the sender search and the forward-to field, both read from queued
// files. An address found becomes part of an SMTP command, so it never holds a CR or an
// LF; a sender is only found where there is a From: header; the forward-to field is a
// piece of the file and, unquoted, stops at the first comma.
#include "fuzzcheck.h"
#include "platform/ansi.h"
#include "routing/remitent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto holdsLineBreak
        = [](const QString &t) { return t.contains(u'\r') || t.contains(u'\n'); };
    if (const auto sender = vessamo::routing::ExtreureRemitent(input)) {
        check(input.contains("From:") || input.contains("FROM:") || input.contains("from:"));
        check(!holdsLineBreak(sender->address));
    }
    const QString field = vessamo::routing::firstTextField(input);
    const QByteArray bytes = vessamo::platform::toAnsi(field);
    check(!holdsLineBreak(field) && input.contains(bytes));
    qsizetype start = 0;
    while (start < input.size() && input[start] == ' ')
        ++start;
    if (!input.sliced(start).startsWith('"'))
        check(!bytes.contains(','));
    return 0;
}
