// The data section's line ends and dot-stuffing, and the streaming steps of a composed
// body: folding and the HTML references to attached files. Pure code over bytes.
#include "mail/datasection.h"

#include <cstring>

namespace vessamo::mail {

namespace {

// Longest line content that SMTP allows (1000 octets with CR LF).
constexpr qsizetype kMaxLine = 998;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

// --- DataSection ----------------------------------------------------------------------------

QByteArray DataSection::encode(const QByteArray &piece)
{
    const char *d = piece.constData();
    const qsizetype n = piece.size();
    QByteArray out;
    bool copying = false;
    const auto copyUpTo = [&](qsizetype i) {
        if (copying)
            return;
        out.reserve(n + n / 64 + 4);
        out.append(d, i);
        copying = true;
    };
    qsizetype i = 0;
    // An empty write changes nothing: the LF that may follow a CR comes in a later one.
    if (n > 0 && std::exchange(afterCr_, false) && d[0] == '\n') {
        copyUpTo(0); // the CR before it went out as CR LF already
        i = 1;
    }
    // Line by line: a dot at the start, then the content up to the first CR or LF.
    while (i < n) {
        if (lineStart_ && d[i] == '.') {
            copyUpTo(i);
            out.append('.');
        }
        const auto *lf = static_cast<const char *>(std::memchr(d + i, '\n', size_t(n - i)));
        const qsizetype lfAt = lf ? lf - d : n;
        const auto *cr = static_cast<const char *>(std::memchr(d + i, '\r', size_t(lfAt - i)));
        const qsizetype end = cr ? cr - d : lfAt;
        if (copying)
            out.append(d + i, end - i);
        if (end > i)
            lineStart_ = false;
        if (end == n)
            break;
        lineStart_ = true;
        if (d[end] == '\r' && end + 1 < n && d[end + 1] == '\n') {
            if (copying)
                out.append("\r\n", 2);
            i = end + 2;
            continue;
        }
        // A bare CR or LF: a line end for a loose reader, so a CR LF here.
        copyUpTo(end);
        out.append("\r\n", 2);
        afterCr_ = d[end] == '\r' && end + 1 == n;
        i = end + 1;
    }
    return copying ? out : piece;
}

// --- BodyFolder -----------------------------------------------------------------------------

namespace {

// Writes the folded pieces of `line` that are complete and returns where the rest begins:
// everything when the line has ended, else at most kMaxLine octets stay behind.
qsizetype foldInto(QByteArray &out, QByteArrayView line, bool ended)
{
    qsizetype pos = 0;
    while (line.size() - pos > kMaxLine) {
        const qsizetype cut = BodyCut(line, pos, kMaxLine);
        out.append(line.sliced(pos, cut - pos));
        out.append("\r\n", 2);
        pos = cut;
    }
    if (ended) {
        out.append(line.sliced(pos));
        return line.size();
    }
    return pos;
}

} // namespace

QByteArray BodyFolder::feed(QByteArrayView piece)
{
    QByteArray out;
    out.reserve(piece.size() + piece.size() / kMaxLine * 2 + pending_.size() + 2);
    qsizetype start = 0;
    for (qsizetype i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c != '\r' && c != '\n')
            continue;
        if (pending_.isEmpty()) {
            foldInto(out, piece.sliced(start, i - start), true);
        } else {
            pending_.append(piece.sliced(start, i - start));
            foldInto(out, pending_, true);
            pending_.clear();
        }
        out.append(c);
        start = i + 1;
    }
    const QByteArrayView tail = piece.sliced(start);
    if (pending_.isEmpty()) {
        pending_ = tail.sliced(foldInto(out, tail, false)).toByteArray();
    } else {
        pending_.append(tail);
        pending_ = pending_.sliced(foldInto(out, pending_, false));
    }
    return out;
}

// --- HtmlLinks ------------------------------------------------------------------------------

QByteArray HtmlLinks::feed(QByteArrayView piece)
{
    QByteArray out;
    qsizetype start = 0; // first octet outside a tag not yet written
    for (qsizetype i = 0; i < piece.size(); ++i) {
        const char c = piece[i];
        if (!inTag_) {
            if (c != '<')
                continue;
            out.append(piece.sliced(start, i - start));
            inTag_ = true;
            skipping_ = false;
            quote_ = 0;
            tag_ = QByteArray(1, '<');
            start = i + 1;
            continue;
        }
        start = i + 1;
        if (skipping_) {
            out.append(c);
            inTag_ = c != '>';
            continue;
        }
        if (quote_) {
            if (c == quote_)
                quote_ = 0;
        } else if (c == '"' || c == '\'') {
            // A quote opens a value only right after "=" (blanks allowed between).
            qsizetype k = tag_.size() - 1;
            while (k > 0 && isSpace(tag_.at(k)))
                --k;
            if (tag_.at(k) == '=')
                quote_ = c;
        } else if (c == '>') {
            tag_.append(c);
            out.append(rewriteTag(tag_));
            tag_.clear();
            inTag_ = false;
            continue;
        }
        tag_.append(c);
        if (tag_.size() > kLongestTag) {
            out.append(std::exchange(tag_, {}));
            skipping_ = true;
        }
    }
    if (!inTag_)
        out.append(piece.sliced(start));
    return out;
}

QByteArray HtmlLinks::finish()
{
    inTag_ = false;
    return std::exchange(tag_, {}); // an unfinished tag passes as it is
}

QByteArray HtmlLinks::referenceFor(QByteArrayView value)
{
    QByteArray lowered = value.toByteArray();
    for (char &c : lowered)
        c = lower(c);
    qsizetype segment = lowered.size();
    while (segment > 0 && lowered.at(segment - 1) != '/' && lowered.at(segment - 1) != '\\')
        --segment;
    const QByteArrayView last = QByteArrayView(lowered).sliced(segment);
    for (Target &target : targets_) {
        QByteArray name = target.name;
        for (char &c : name)
            c = lower(c);
        if (!name.isEmpty() && last == name) {
            target.linked = true;
            return target.reference;
        }
    }
    return {};
}

// `tag` runs from "<" to ">": its name, then attributes, each with an optional value
// (quoted, or up to a blank or the ">").
QByteArray HtmlLinks::rewriteTag(const QByteArray &tag)
{
    QByteArray out;
    const qsizetype end = tag.size() - 1; // the ">"
    qsizetype written = 0;
    qsizetype i = 1;
    while (i < end && !isSpace(tag.at(i)))
        ++i; // the tag's name
    while (i < end) {
        while (i < end && isSpace(tag.at(i)))
            ++i;
        while (i < end && !isSpace(tag.at(i)) && tag.at(i) != '=')
            ++i; // an attribute's name
        while (i < end && isSpace(tag.at(i)))
            ++i;
        if (i >= end || tag.at(i) != '=')
            continue;
        ++i;
        while (i < end && isSpace(tag.at(i)))
            ++i;
        qsizetype from = i, to = i;
        if (i < end && (tag.at(i) == '"' || tag.at(i) == '\'')) {
            const qsizetype close = tag.indexOf(tag.at(i), i + 1);
            from = i + 1;
            to = close < 0 || close > end ? end : close;
            i = to + 1;
        } else {
            while (i < end && !isSpace(tag.at(i)))
                ++i;
            to = i;
        }
        const QByteArray reference = referenceFor(QByteArrayView(tag).sliced(from, to - from));
        if (reference.isNull())
            continue;
        out.append(QByteArrayView(tag).sliced(written, from - written));
        out.append(reference);
        written = to;
    }
    if (written == 0)
        return tag;
    out.append(QByteArrayView(tag).sliced(written));
    return out;
}

} // namespace vessamo::mail
