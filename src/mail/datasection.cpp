// The data section's line ends and dot-stuffing, the folding of long lines, a stored
// message read in blocks, and the HTML references to attached files of a composed body.
// Pure code over bytes, but for the device MessageBlocks reads.
#include "mail/datasection.h"

#include <QFileDevice>
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

// --- LineFolder -----------------------------------------------------------------------------

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Where a header line is cut: before the last blank within the piece, so that the next
// piece begins with white space and continues the header (RFC 5322 section 2.2.3). The
// piece's own first octet does not count (a continuation begins with its blank); without a
// blank the cut falls after `room` octets, and a blank is put in front of the next piece.
qsizetype headerCut(QByteArrayView line, qsizetype pos, qsizetype room)
{
    for (qsizetype i = pos + room; i > pos; --i) {
        if (isBlank(line.at(i)))
            return i;
    }
    return pos + room;
}

} // namespace

qsizetype BodyCut(QByteArrayView line, qsizetype pos, qsizetype room)
{
    for (qsizetype i = pos + room - 1; i >= pos; --i) {
        if (line.at(i) == ' ')
            return i + 1;
    }
    return pos + room;
}

// Dots are stuffed later, where the data section is written (DataSection), so the limit
// counts the line's own octets: the dot added for transparency does not count (RFC 5321
// section 4.5.3.1.6). A cut needs the octets up to one past the room, so a line that has
// not ended yet keeps at most that many back.
qsizetype LineFolder::fold(QByteArray &out, QByteArrayView line, bool ended)
{
    qsizetype pos = 0;
    while (lead_ + line.size() - pos > kMaxLine) {
        const qsizetype room = kMaxLine - lead_;
        const qsizetype cut = headers_ ? headerCut(line, pos, room) : BodyCut(line, pos, room);
        out.append(line.sliced(pos, cut - pos));
        out.append(separator_);
        // A header cut where there is no blank: the next piece would be a line that
        // neither starts a field nor continues one, and many readers end the header
        // section there. A blank in front makes it a continuation, as Postfix does.
        lead_ = headers_ && !isBlank(line.at(cut)) ? 1 : 0;
        if (lead_)
            out.append(' ');
        pos = cut;
    }
    if (!ended)
        return pos;
    out.append(line.sliced(pos));
    lead_ = 0;
    return line.size();
}

QByteArray LineFolder::feed(QByteArrayView piece)
{
    const char *d = piece.data();
    const qsizetype n = piece.size();
    QByteArray out;
    out.reserve(n + n / kMaxLine * 3 + pending_.size() + 4);
    qsizetype i = 0;
    // Lines that need no folding, and the line ends, are written in runs rather than one
    // by one: the piece's octets from `run` on are not written yet.
    qsizetype run = 0;
    if (n > 0 && std::exchange(afterCr_, false) && d[0] == '\n')
        i = 1; // the CR before it ended the line already
    while (i < n) {
        const auto *lf = static_cast<const char *>(std::memchr(d + i, '\n', size_t(n - i)));
        const qsizetype lfAt = lf ? lf - d : n;
        const auto *cr = static_cast<const char *>(std::memchr(d + i, '\r', size_t(lfAt - i)));
        const qsizetype end = cr ? cr - d : lfAt;
        const bool ended = end < n;
        const QByteArrayView content = piece.sliced(i, end - i);
        if (!content.isEmpty())
            lineEmpty_ = false;
        if (ended && pending_.isEmpty() && lead_ + content.size() <= kMaxLine) {
            lead_ = 0; // as fold() leaves a line that ended
        } else {
            out.append(d + run, i - run);
            run = end;
            if (pending_.isEmpty()) {
                const qsizetype rest = fold(out, content, ended);
                if (!ended)
                    pending_ = content.sliced(rest).toByteArray();
            } else {
                pending_.append(content);
                pending_.remove(0, fold(out, pending_, ended));
            }
        }
        if (!ended)
            break;
        // An empty line ends the header section.
        if (std::exchange(lineEmpty_, true))
            headers_ = false;
        if (d[end] == '\r' && end + 1 < n && d[end + 1] == '\n') {
            i = end + 2;
            continue;
        }
        afterCr_ = d[end] == '\r' && end + 1 == n;
        i = end + 1;
    }
    out.append(d + run, n - run);
    return out;
}

QByteArray LineFolder::finish()
{
    QByteArray out;
    fold(out, std::exchange(pending_, {}), true);
    afterCr_ = false;
    return out;
}

// --- MessageBlocks --------------------------------------------------------------------------

QByteArray MessageBlocks::next()
{
    while (!ended_ && error_.isEmpty()) {
        const QByteArray block = device_.read(blockSize_);
        if (block.isEmpty()) {
            const auto *file = qobject_cast<const QFileDevice *>(&device_);
            if ((file && file->error() != QFileDevice::NoError) || (!file && !device_.atEnd())) {
                error_ = device_.errorString().isEmpty() ? QStringLiteral("read error")
                                                         : device_.errorString();
                return {};
            }
            ended_ = true;
        }
        const QByteArray out = ended_ ? folder_.finish() : folder_.feed(block);
        if (!out.isEmpty())
            return out;
    }
    return {};
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
