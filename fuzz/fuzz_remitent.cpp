// libFuzzer target for the sender search and the forward-to field, both read from queued
// files. The input is taken as a message and as a forward-to file. An address found in
// either becomes part of an SMTP command, so it must never hold a CR or an LF; a sender
// is only found where there is a From: header, and the forward-to field is a piece of the
// file.
#include "platform/ansi.h"
#include "routing/remitent.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool holdsLineBreak(const QString &text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    const std::optional<vessamo::routing::Remitent> sender
        = vessamo::routing::ExtreureRemitent(input);
    if (sender) {
        check(input.contains("From:") || input.contains("FROM:") || input.contains("from:"));
        check(!holdsLineBreak(sender->address));
    }

    const QString field = vessamo::routing::firstTextField(input);
    check(!holdsLineBreak(field));
    // The code page maps each byte to one character and back, so the field's bytes are a
    // slice of the file; unquoted, it stops at the first comma.
    const QByteArray bytes = vessamo::platform::toAnsi(field);
    check(input.contains(bytes));
    qsizetype start = 0;
    while (start < input.size() && input[start] == ' ')
        ++start;
    if (start == input.size() || input[start] != '"')
        check(!bytes.contains(','));
    return 0;
}
