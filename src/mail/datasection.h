// The content of a mail transaction on its way to the socket. DataSection is the one place
// where the data section is made fit for SMTP, whoever wrote the bytes (the composer's
// headers, body and encoded files, or a relayed message): CR LF line ends and dot-stuffing,
// across the pieces it is given. BodyFolder and HtmlLinks work on a composed body read in
// pieces, so that a body of any size goes out with memory flat in its size.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace vessamo::mail {

// Where a body line is cut: after the last blank within `room` octets from `pos`, else
// after `room` octets.
qsizetype BodyCut(QByteArrayView line, qsizetype pos, qsizetype room);

// Every line end becomes CR LF (a bare CR or LF too, so that no server, however loosely it
// reads line ends, sees a line that was not stuffed), and every line that begins with "."
// gets another one (RFC 5321 section 4.5.2): the first line, folded pieces and lines split
// across pieces alike.
class DataSection
{
public:
    // The data section starts: the next byte begins a line.
    void reset()
    {
        lineStart_ = true;
        afterCr_ = false;
    }
    // `piece` made fit; the same bytes (not copied) when nothing changes.
    QByteArray encode(const QByteArray &piece);
    // True when the bytes so far end with a line end (or there are none).
    bool atLineStart() const { return lineStart_; }

private:
    bool lineStart_ = true;
    // The last byte was a CR, already written as CR LF: an LF that follows belongs to it.
    bool afterCr_ = false;
};

// Folds a body given in pieces: a line longer than 998 octets is cut after its last blank
// within the limit, else after 998 octets, and the pieces joined by CR LF; line ends are
// kept as they are. Holds at most one line's first 998 octets between calls.
class BodyFolder
{
public:
    QByteArray feed(QByteArrayView piece);
    // What is held back at the end of the body.
    QByteArray finish() { return std::exchange(pending_, {}); }

private:
    QByteArray pending_; // the current line's octets not yet written
};

// Rewrites, in an HTML body given in pieces, every attribute value that names an attached
// file (the whole value, or its last path segment after "/" or "\", without regard to case)
// into a "cid:" reference. Text outside tags is never touched; a tag longer than
// kLongestTag passes unchanged.
class HtmlLinks
{
public:
    struct Target
    {
        QByteArray name; // the file name, in the body's character set
        QByteArray reference; // "cid:" and its Content-ID
        bool linked = false;
    };
    static constexpr qsizetype kLongestTag = 65536;

    explicit HtmlLinks(QList<Target> targets)
        : targets_(std::move(targets))
    {
    }
    QByteArray feed(QByteArrayView piece);
    QByteArray finish();
    const QList<Target> &targets() const { return targets_; }

private:
    QByteArray rewriteTag(const QByteArray &tag);
    // The reference for an attribute value that names a file, or a null array.
    QByteArray referenceFor(QByteArrayView value);

    QList<Target> targets_;
    QByteArray tag_; // a tag being read, from its "<"
    bool inTag_ = false;
    bool skipping_ = false; // a tag too long to hold: passed through to its ">"
    char quote_ = 0; // inside a quoted attribute value
};

} // namespace vessamo::mail
