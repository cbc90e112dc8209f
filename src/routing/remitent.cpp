#include "routing/remitent.h"

#include "platform/ansi.h"
#include "platform/blanks.h"

namespace vessamo::routing {

namespace {

QByteArray without(QByteArray text, std::initializer_list<const char *> parts)
{
    for (const char *part : parts)
        text.replace(part, "");
    return text;
}

QByteArray between(const QByteArray &text, qsizetype from, qsizetype to)
{
    return text.mid(from, to - from);
}

// A line end left inside an address (a bare CR or LF, which the line search does not
// stop at) would split the MAIL FROM command: such a header holds no usable sender.
std::optional<Remitent> found(const QByteArray &address, const QByteArray &name)
{
    if (address.contains('\r') || address.contains('\n'))
        return std::nullopt;
    return Remitent {platform::fromAnsi(address), platform::fromAnsi(name)};
}

} // namespace

std::optional<Remitent> ExtreureRemitent(const QByteArray &message)
{
    // p is where the CR LF before the header is, or would be: a header on the very first
    // line counts as if a line end stood before the message (p = -2).
    qsizetype p = -1;
    for (const char *header : {"\r\nFrom:", "\r\nFROM:", "\r\nfrom:"}) {
        p = message.startsWith(header + 2) ? -2 : message.indexOf(header);
        if (p != -1)
            break;
    }
    if (p == -1)
        return std::nullopt;
    const qsizetype value = p + 7; // just after the colon
    const qsizetype e1 = message.indexOf("\r\n", p + 5);
    if (e1 < 0)
        return std::nullopt;
    const qsizetype e2 = message.indexOf("\r\n", e1 + 2);

    // An address in angle brackets, on the From: line or the line after it (folding).
    const qsizetype lt = message.indexOf('<', p + 5);
    if (lt >= 0 && e2 >= 0 && lt <= e2) {
        const qsizetype gt = message.indexOf('>', lt + 1);
        if (gt < 0)
            return std::nullopt;
        const QByteArray address
            = without(platform::trimBlanks(between(message, lt + 1, gt)), {"\r\n", "\"", " "});
        QByteArray name
            = without(platform::trimBlanks(between(message, value, lt)), {"\r\n", "\""});
        if (platform::trimBlanks(name).isEmpty())
            name = address;
        return found(address, name);
    }

    // An address followed by a comment in parentheses, on the From: line.
    const qsizetype lp = message.indexOf('(', p + 5);
    if (lp >= 0 && lp <= e1) {
        const QByteArray address = platform::trimBlanks(between(message, value, lp));
        const qsizetype rp = message.indexOf(')', lp + 1);
        const QByteArray name = platform::trimBlanks(between(message, lp + 1, rp >= 0 ? rp : e1));
        return found(address, name);
    }

    const QByteArray bare = platform::trimBlanks(between(message, value, e1));
    return found(bare, bare);
}

QString firstTextField(const QByteArray &bytes)
{
    qsizetype i = 0;
    while (i < bytes.size() && bytes[i] == ' ')
        ++i;
    if (i < bytes.size() && bytes[i] == '"') {
        // A quoted field ends at its closing quote, or at a line end that comes first: the
        // field becomes a recipient in a command line.
        qsizetype end = i + 1;
        while (end < bytes.size() && bytes[end] != '"' && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        return platform::fromAnsi(between(bytes, i + 1, end));
    }
    qsizetype end = i;
    while (end < bytes.size() && bytes[end] != ',' && bytes[end] != '\r' && bytes[end] != '\n')
        ++end;
    return platform::fromAnsi(between(bytes, i, end));
}

} // namespace vessamo::routing
