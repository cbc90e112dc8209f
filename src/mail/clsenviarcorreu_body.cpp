// The body of a composed message, read in pieces from the Message property or from a
// device the owner gives (a file of any size): one pass before any traffic finds what the
// body refers to (the HTML references to attached files), whether it is 8-bit and whether
// it holds the multipart boundary; a second pass writes it. Each piece goes through the
// HTML rewriting and the folding of long lines; memory stays flat in the body's size.
#include "mail/clsenviarcorreu.h"
#include "mail/datasection.h"
#include "mail/encoders.h"
#include "platform/ansi.h"

#include <QBuffer>
#include <QFileDevice>

namespace vessamo::mail {

namespace {

constexpr qint64 kBodyChunk = 65536;
// While the body goes out the socket's queue may hold a few pieces, never the body.
constexpr qint64 kQueueWhileBody = 4 * kBodyChunk;

// True when `needle` occurs in `piece` or across its start (with the octets kept from the
// pieces before in `carry`, at most the needle's length less one).
bool seenAcross(QByteArray &carry, const QByteArray &piece, const QByteArray &needle)
{
    const QByteArray joined = carry + piece.left(needle.size() - 1);
    const bool seen = joined.contains(needle) || piece.contains(needle);
    carry = (carry + piece).right(needle.size() - 1);
    return seen;
}

} // namespace

void clsEnviarCorreu::SetMessageSource(QIODevice *device)
{
    messageSource_ = device;
}

qint64 clsEnviarCorreu::messageSize() const
{
    return messageSource_ ? messageSource_->size() : message_.size();
}

QByteArray clsEnviarCorreu::bodyText(const QString &text) const
{
    return messageCharset_.compare(u"utf-8", Qt::CaseInsensitive) == 0 ? text.toUtf8()
                                                                       : platform::toAnsi(text);
}

QList<HtmlLinks::Target> clsEnviarCorreu::linkTargets() const
{
    QList<HtmlLinks::Target> targets;
    for (const AttachedFile &file : attachedFiles_)
        targets.append({bodyText(file.name), "cid:" + ContentIdFor(file.name).toLatin1(), false});
    return targets;
}

bool clsEnviarCorreu::LinkEmbeddedFiles()
{
    if (!asHtml_ || attachedFiles_.empty())
        return false;
    HtmlLinks links(linkTargets());
    message_ = links.feed(message_);
    message_ += links.finish(); // after the feed: a tag left open at the end
    bool linked = false;
    for (qsizetype i = 0; i < links.targets().size(); ++i) {
        attachedFiles_[std::size_t(i)].embedded = links.targets()[i].linked;
        linked = linked || links.targets()[i].linked;
    }
    return linked;
}

bool clsEnviarCorreu::forEachBodyPiece(HtmlLinks *links,
                                       const std::function<bool(const QByteArray &)> &sink,
                                       QString &failure)
{
    QBuffer memory;
    memory.setData(message_);
    QIODevice *body = messageSource_ ? messageSource_.data() : &memory;
    if (!body->isOpen() && !body->open(QIODevice::ReadOnly)) {
        failure = body->errorString();
        return false;
    }
    if (!body->seek(0)) {
        failure = body->errorString();
        return false;
    }
    BodyFolder folder;
    for (;;) {
        const QByteArray chunk = body->read(kBodyChunk);
        if (chunk.isEmpty()) {
            const auto *file = qobject_cast<const QFileDevice *>(body);
            if ((file && file->error() != QFileDevice::NoError) || (!file && !body->atEnd())) {
                failure = body->errorString();
                return false;
            }
            break;
        }
        const QByteArray piece = folder.feed(links ? links->feed(chunk) : chunk);
        if (!piece.isEmpty() && !sink(piece))
            return false;
    }
    // In this order: what the rewriting held back goes through the folder before its end.
    QByteArray rest = folder.feed(links ? links->finish() : QByteArray());
    rest += folder.finish();
    return rest.isEmpty() || sink(rest);
}

bool clsEnviarCorreu::scanBody(const QString &boundary, BodyFacts &facts)
{
    const bool linking = asHtml_ && !attachedFiles_.empty();
    HtmlLinks links(linking ? linkTargets() : QList<HtmlLinks::Target>());
    QString failure;
    // Base64 never holds "-", but a body may hold anything: a boundary it contains would
    // end a part early, so it changes until the body does not contain it.
    facts.boundary = boundary;
    QByteArray needle = platform::toAnsi(boundary);
    bool eightBit = false;
    bool holdsBoundary = false;
    QByteArray carry;
    const auto scan = [&](const QByteArray &piece) {
        for (const char byte : piece)
            eightBit = eightBit || static_cast<unsigned char>(byte) > 126;
        holdsBoundary = holdsBoundary || (!needle.isEmpty() && seenAcross(carry, piece, needle));
        return true;
    };
    bool read = forEachBodyPiece(linking ? &links : nullptr, scan, failure);
    for (int n = 1; read && holdsBoundary; ++n) {
        facts.boundary = boundary + u'_' + QString::number(n);
        needle = platform::toAnsi(facts.boundary);
        holdsBoundary = false;
        carry.clear();
        HtmlLinks again(linking ? linkTargets() : QList<HtmlLinks::Target>());
        read = forEachBodyPiece(linking ? &again : nullptr, scan, failure);
    }
    if (!read) {
        AddError(QStringLiteral("Cannot read the message body: ") + failure);
        RaiseFailure();
        return false;
    }
    eightBit_ = eightBit;
    facts.related = false;
    for (qsizetype i = 0; i < links.targets().size(); ++i) {
        attachedFiles_[std::size_t(i)].embedded = links.targets()[i].linked;
        facts.related = facts.related || links.targets()[i].linked;
    }
    return true;
}

bool clsEnviarCorreu::sendBody(bool related)
{
    HtmlLinks links(related ? linkTargets() : QList<HtmlLinks::Target>());
    QString failure;
    const auto write = [&](const QByteArray &piece) {
        return put(piece, "<body, " + QByteArray::number(piece.size()) + " octets>")
            && session_->awaitQueue(kQueueWhileBody);
    };
    if (forEachBodyPiece(related ? &links : nullptr, write, failure))
        return true;
    // Without a failure text the operation is over already (and the object may be gone).
    if (!failure.isEmpty()) {
        AddError(QStringLiteral("Cannot read the message body: ") + failure);
        RaiseFailure();
    }
    return false;
}

} // namespace vessamo::mail
