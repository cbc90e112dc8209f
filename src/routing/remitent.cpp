#include "routing/remitent.h"

#include "platform/ansi.h"
#include "platform/blanks.h"

#include <array>

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

constexpr std::array<const char *, 3> kHeaders = {"\r\nFrom:", "\r\nFROM:", "\r\nfrom:"};

// The search over `message`, which is the whole message when `complete`, else a window
// from the header's CR LF (or the message's start): a search that runs off the window's end
// could find its answer beyond it, and then there is no sender.
std::optional<Remitent> senderIn(const QByteArray &message, bool complete)
{
    const auto offEnd = [complete](qsizetype at) { return at < 0 && !complete; };
    // p is where the CR LF before the header is, or would be: a header on the very first
    // line counts as if a line end stood before the message (p = -2).
    qsizetype p = -1;
    for (const char *header : kHeaders) {
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
    if (offEnd(e2))
        return std::nullopt;

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
        if (offEnd(rp))
            return std::nullopt;
        const QByteArray name = platform::trimBlanks(between(message, lp + 1, rp >= 0 ? rp : e1));
        return found(address, name);
    }

    const QByteArray bare = platform::trimBlanks(between(message, value, e1));
    return found(bare, bare);
}

// Where the header the search over bytes would take starts in `message`: the offset of the
// CR LF before it, -2 for the first line, -1 for none; nothing when the message cannot be
// read. One pass that ends at the first "From:", which comes before any other spelling.
std::optional<qint64> headerOffset(QIODevice &message, qsizetype blockSize)
{
    constexpr qsizetype kOverlap = 6; // a header's text less one octet
    std::array<qint64, kHeaders.size()> found;
    found.fill(-1);
    QByteArray text; // the octets the next search looks at, from file offset `at`
    qint64 at = 0;
    bool startChecked = false;
    for (;;) {
        const QByteArray block = message.read(blockSize);
        const bool end = block.isEmpty();
        if (end && !message.atEnd())
            return std::nullopt;
        text += block;
        if (!startChecked && (end || at + text.size() >= kOverlap)) {
            startChecked = true;
            for (std::size_t k = 0; k < kHeaders.size(); ++k) {
                if (text.startsWith(kHeaders[k] + 2))
                    found[k] = -2;
            }
        }
        // "From:" wins wherever it is: once it is found the other spellings need no search
        // (each would be a pass over the whole block), and each spelling is searched once.
        for (std::size_t k = 0; k < kHeaders.size(); ++k) {
            if (found[k] != -1)
                continue;
            const qsizetype i = text.indexOf(kHeaders[k]);
            if (i >= 0)
                found[k] = at + i;
            if (k == 0 && i >= 0)
                break;
        }
        if (end || found[0] != -1)
            break;
        const qsizetype keep = qMin(kOverlap, text.size());
        at += text.size() - keep;
        text = text.right(keep);
    }
    for (const qint64 offset : found) {
        if (offset != -1)
            return offset;
    }
    return -1;
}

} // namespace

std::optional<Remitent> ExtreureRemitent(const QByteArray &message)
{
    return senderIn(message, true);
}

std::optional<Remitent> ExtreureRemitent(QIODevice &message, qsizetype blockSize, qsizetype window)
{
    const std::optional<qint64> p = headerOffset(message, blockSize);
    if (!p || *p == -1 || !message.seek(std::max<qint64>(*p, 0)))
        return std::nullopt;
    const QByteArray text = message.read(window);
    if (text.isEmpty() && !message.atEnd())
        return std::nullopt;
    return senderIn(text, message.atEnd());
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
