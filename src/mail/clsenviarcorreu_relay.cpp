// Relay of a stored message: Enruta runs one SMTP transaction (through the object's
// SmtpSession) whose content is the prepared Message, or the message source read block by
// block, sent to the first recipient; EstimateSize gives the expected size of a transaction
// for the progress percentage.
#include "mail/clsenviarcorreu.h"
#include "mail/datasection.h"
#include "platform/ansi.h"

#include <QIODevice>
#include <limits>

namespace vessamo::mail {

namespace {

// While a message goes out block by block the socket's queue holds a few blocks, never the
// message.
constexpr qint64 kQueueWhileRelay = 4 * kRelayBlock;

qint64 listSize(const QStringList &list, qint64 perElement, int lengthFactor, qint64 perExtra)
{
    qint64 size = 0;
    for (qsizetype i = 0; i < list.size(); ++i) {
        size += perElement + lengthFactor * list[i].size();
        if (i > 0)
            size += perExtra;
    }
    return size;
}

} // namespace

bool BreaksCommandLine(const QString &address)
{
    for (QChar c : address) {
        if (c == u'\r' || c == u'\n' || c == u'\0' || c == u'<' || c == u'>')
            return true;
        if (c.unicode() < 32 || c.unicode() == 127)
            return true; // no other control character belongs in an address either
    }
    return false;
}

bool clsEnviarCorreu::addressesSafe()
{
    const bool unsafe = BreaksCommandLine(from_)
        || (!recipient_.isEmpty() && BreaksCommandLine(recipient_.first()));
    if (!unsafe)
        return true;
    // The message's own sender or its forward-to text: no later attempt can do better.
    session_->classify(RelayOutcome::Permanent);
    AddError(errortext::kUnsafeAddress);
    RaiseFailure();
    return false;
}

qint32 clsEnviarCorreu::EstimateSize() const
{
    qint64 size = from_.size() + 93;
    if (useAuthentication_) {
        size += 25 + from_.size();
        if (!userName_.isEmpty())
            size += 4 * userName_.size() / 3;
        if (!password_.isEmpty())
            size += 4 * password_.size() / 3;
    }
    size += listSize(recipient_, 15, 2, 6) + listSize(ccRecipient_, 15, 2, 6);
    size += listSize(recipientDisplayName_, 11, 1, 0) + listSize(ccDisplayName_, 11, 1, 0);
    size += listSize(bccRecipient_, 15, 1, 6);
    if (!fromDisplayName_.isEmpty())
        size += fromDisplayName_.size() + 3;
    size += from_.size();
    if (!replyToAddress_.isEmpty())
        size += replyToAddress_.size() + 14;
    size += subject_.size() + messageSize();
    if (encodeType_ == 0) {
        size += 64;
        if (!contentBase_.isEmpty() && asHtml_)
            size += contentBase_.size() + 18;
        if (receipt_)
            size += 36 + fromDisplayName_.size() + from_.size();
    }
    const qint64 files = qint64(attachedFiles_.size());
    if (files > 0) {
        const qint64 s = attachmentTotalSize_;
        const qint64 l = attachmentTotalNameLength_;
        if (encodeType_ == 0)
            size += 4 * s / 3 + 42 + 2 * (s / 57) + 2 * l + 182 * files + 290;
        else
            size += 4 * s / 3 + 3 * (s / 45) + l + 20 * files;
    }
    return qint32(std::min<qint64>(size, std::numeric_limits<qint32>::max()));
}

void clsEnviarCorreu::Enruta()
{
    const SmtpSession::Operation session = operation();
    // Exactly one display name: the first, or an empty one.
    recipientDisplayName_ = QStringList {recipientDisplayName_.value(0)};
    session->begin(EstimateSize());
    if (!addressesSafe() || !session->open())
        return;
    // Only the first recipient: a second one would be a copy nobody asked for. The Message
    // goes out in one write (the session copies it only when it must change); a message
    // source block by block.
    const QStringList envelope
        = recipient_.isEmpty() ? QStringList() : QStringList {recipient_.first()};
    if (messageSource_ ? !relaySource(envelope) : !session->relay(message_, envelope))
        return;
    static_cast<void>(session->deliver(SessionEvent::sendSuccesful()));
}

bool clsEnviarCorreu::relaySource(const QStringList &envelope)
{
    QIODevice &device = *messageSource_;
    const auto unreadable = [this](const QString &why) {
        AddError(QStringLiteral("Cannot read the message: ") + why);
        RaiseFailure();
        return false;
    };
    if ((!device.isOpen() && !device.open(QIODevice::ReadOnly)) || !device.seek(0))
        return unreadable(device.errorString());
    MessageBlocks blocks(device);
    if (!session_->startContent(envelope))
        return false;
    // One block read ahead: the last one goes out with the end-of-data line.
    QByteArray block = blocks.next();
    for (QByteArray next = blocks.next(); !next.isEmpty(); next = blocks.next()) {
        if (!put(block, "<message, " + QByteArray::number(block.size()) + " octets>")
            || !session_->awaitQueue(kQueueWhileRelay))
            return false;
        block = std::move(next);
    }
    if (!blocks.error().isEmpty())
        return unreadable(blocks.error());
    return session_->endContent(block);
}

} // namespace vessamo::mail
