// The DNS MX wire format: building the query and reading the reply's answer section.
// Numbers are big-endian (RFC 1035 §4.1); names may be compressed with pointers
// (RFC 1035 §4.1.4). Reading never goes past the received octets.
#include "dns/dnsmessage.h"

#include "platform/ansi.h"

#include <QList>

namespace vessamo::dns {

namespace {

constexpr qsizetype kMaxLabel = 63;
constexpr qsizetype kMaxName = 255;
// A name has at most 127 labels, so more pointers than that can only be a loop.
constexpr int kMaxPointers = 128;

quint16 readU16(const QByteArray &bytes, qsizetype at)
{
    return quint16((quint8(bytes.at(at)) << 8) | quint8(bytes.at(at + 1)));
}

void appendU16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xff));
}

// Moves `position` past the question section; false when it runs past the reply.
bool skipQuestions(const QByteArray &reply, quint16 count, qsizetype &position)
{
    for (quint16 i = 0; i < count; ++i) {
        if (!DecodeDnsName(reply, position) || position + 4 > reply.size())
            return false;
        position += 4; // type and class
    }
    return true;
}

} // namespace

QByteArray EncodeDnsName(const QString &domain)
{
    QByteArray name = platform::toAnsi(domain);
    if (name.endsWith('.'))
        name.chop(1); // a final dot names the root: the closing zero octet stands for it
    if (name.isEmpty())
        return {};
    QByteArray wire;
    for (const QByteArray &label : name.split('.')) {
        if (label.isEmpty() || label.size() > kMaxLabel)
            return {};
        wire.append(char(label.size()));
        wire.append(label);
    }
    if (wire.size() + 1 > kMaxName)
        return {};
    return wire;
}

QByteArray buildMxQuery(const QString &domain)
{
    const QByteArray name = EncodeDnsName(domain);
    if (name.isEmpty())
        return {};
    QByteArray datagram;
    datagram.reserve(16 + name.size() + 1);
    appendU16(datagram, kQueryIdentifier);
    datagram.append(char(0x01)); // standard query, recursion desired
    datagram.append(char(0x00));
    appendU16(datagram, 1); // one question
    appendU16(datagram, 0);
    appendU16(datagram, 0);
    appendU16(datagram, 0);
    datagram.append(name);
    datagram.append(char(0));
    appendU16(datagram, kTypeMx);
    appendU16(datagram, kClassInternet);
    return datagram;
}

std::optional<QString> DecodeDnsName(const QByteArray &reply, qsizetype &position)
{
    QByteArray name;
    qsizetype at = position;
    qsizetype after = -1; // where the caller resumes: past the first pointer or the zero
    qsizetype wireLength = 1;
    int pointers = 0;
    for (;;) {
        if (at < 0 || at >= reply.size())
            return std::nullopt;
        const quint8 octet = quint8(reply.at(at));
        if (octet == 0) {
            if (after < 0)
                after = at + 1;
            break;
        }
        if ((octet & 0xC0) == 0xC0) {
            if (at + 1 >= reply.size() || ++pointers > kMaxPointers)
                return std::nullopt;
            if (after < 0)
                after = at + 2;
            at = ((octet & 0x3F) << 8) | quint8(reply.at(at + 1));
            continue;
        }
        if (octet & 0xC0) // 0x40 and 0x80 label types are not in use (RFC 6891 §5)
            return std::nullopt;
        wireLength += octet + 1;
        if (at + 1 + octet > reply.size() || wireLength > kMaxName)
            return std::nullopt;
        if (!name.isEmpty())
            name.append('.');
        name.append(reply.mid(at + 1, octet));
        at += 1 + octet;
    }
    position = after;
    return platform::fromAnsi(name);
}

std::optional<MxReply> readMxReply(const QByteArray &reply)
{
    if (reply.size() < kHeaderSize)
        return std::nullopt;
    MxReply result;
    result.identifier = readU16(reply, 0);
    result.answerCount = readU16(reply, 6);
    qsizetype position = kHeaderSize;
    auto malformed = [&result] {
        result.bestHost.clear(); // a corrupt reply gives no partial answer
        result.malformed = true;
        return result;
    };
    if (result.answerCount == 0)
        return result;
    if (!skipQuestions(reply, readU16(reply, 4), position))
        return malformed();

    quint16 bestPreference = 0;
    for (quint16 i = 0; i < result.answerCount; ++i) {
        if (!DecodeDnsName(reply, position) || position + 10 > reply.size())
            return malformed();
        if (readU16(reply, position) != kTypeMx)
            break; // the first record of another type ends the reading
        const qsizetype dataEnd = position + 10 + readU16(reply, position + 8);
        position += 10; // type, class, time to live, data length
        if (dataEnd > reply.size() || position + 2 > dataEnd)
            return malformed();
        const quint16 preference = readU16(reply, position);
        qsizetype namePosition = position + 2;
        const std::optional<QString> exchange = DecodeDnsName(reply, namePosition);
        if (!exchange || namePosition > dataEnd)
            return malformed();
        if (!exchange->trimmed().isEmpty()
            && (result.bestHost.isEmpty() || preference < bestPreference)) {
            result.bestHost = *exchange;
            bestPreference = preference;
        }
        position = dataEnd;
    }
    return result;
}

} // namespace vessamo::dns
