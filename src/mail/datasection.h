// The content of a mail transaction on its way to the socket. DataSection is the one place
// where the data section is made fit for SMTP, whoever wrote the bytes (the composer's
// headers, body and encoded files, or a relayed message): CR LF line ends and dot-stuffing,
// across the pieces it is given. LineFolder is the one place where long lines are folded,
// for a whole text or one read in pieces: MessageBlocks reads a stored message from its file
// through it, and BodyFolder and HtmlLinks work on a composed body, so that a message or body
// of any size goes out with memory flat in its size.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>

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

// Folds a text given in pieces, cut anywhere: a line longer than 998 octets is cut, in a
// header section (the lines before the first empty one) before its last blank within the
// limit, with a blank put in front of the next piece when there is none there; in a body
// after its last blank within the limit; else after the limit. The pieces are joined by
// `foldSeparator`; line ends (CR LF, a bare CR or a bare LF) are kept as they are. Holds at
// most one line's first 999 octets between calls; a CR at the end of a piece ends its line,
// and an LF at the start of the next belongs to it.
class LineFolder
{
public:
    LineFolder(bool headers, QByteArrayView foldSeparator)
        : headers_(headers)
        , separator_(foldSeparator.toByteArray())
    {
    }
    QByteArray feed(QByteArrayView piece);
    // What is held back at the end of the text.
    QByteArray finish();

private:
    // Writes the folded pieces of `line` (the current line's octets not yet written) that
    // are complete; returns where the rest begins: everything when the line has ended.
    qsizetype fold(QByteArray &out, QByteArrayView line, bool ended);

    bool headers_;
    QByteArray separator_;
    QByteArray pending_; // the current line's octets not yet written
    bool lineEmpty_ = true; // no octet of the current line seen yet
    bool afterCr_ = false; // the last octet was a CR: an LF that follows belongs to it
    qsizetype lead_ = 0; // a blank was put in front of the current piece of a header
};

// Folds a composed body given in pieces: its lines cut as a body's, joined by CR LF.
class BodyFolder : public LineFolder
{
public:
    BodyFolder()
        : LineFolder(false, "\r\n")
    {
    }
};

// The block a stored message is read and relayed in.
inline constexpr qsizetype kRelayBlock = 65536;

// A stored message read from a device block by block and folded as PrepareMessage folds it
// whole, with CR LF as the fold (dots and line ends are left to the DataSection the bytes go
// through, where PrepareMessage's CR fold of a message whose only line ends are CRs becomes
// CR LF as well): memory stays at a block or two whatever the message's size. The device
// must be open and at the message's start.
class MessageBlocks
{
public:
    explicit MessageBlocks(QIODevice &device, qsizetype blockSize = kRelayBlock)
        : device_(device)
        , blockSize_(blockSize)
    {
    }
    // The next folded block; empty at the end or on a read error (then error() is set).
    QByteArray next();
    QString error() const { return error_; }

private:
    QIODevice &device_;
    qsizetype blockSize_;
    LineFolder folder_ {true, "\r\n"};
    bool ended_ = false;
    QString error_;
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
