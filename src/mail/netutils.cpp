// Network utilities of the mail client: name lookup (getaddrinfo, IPv4 only), the local
// host name, one ICMP echo request and MIME types by extension. The echo goes through an
// unprivileged ICMP echo socket where the system allows one, else through a raw socket
// (root or CAP_NET_RAW); its wait is bounded by poll() with the 255 ms time-out.
#include "mail/netutils.h"

#include "platform/ansi.h"
#include "platform/blanks.h"
#include "platform/posixfd.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QUrl>
#include <QtEndian>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vessamo::mail {

namespace {

constexpr int kEchoTimeoutMs = 255;
constexpr int kPayloadSize = 32;
constexpr int kReplyDataCapacity = 250; // the echoed data area of the reply record
constexpr quint32 kStatusSuccess = 0;
constexpr quint32 kStatusTimedOut = 11010; // the codes the Windows echo service reports
constexpr quint32 kStatusGeneralFailure = 11050;
constexpr quint8 kIcmpEchoReply = 0;
constexpr quint8 kIcmpEcho = 8;
constexpr int kIcmpHeaderSize = 8;

// Four "."-separated decimal numbers of at most 255 each.
std::optional<std::array<quint32, 4>> parseOctets(const QString &text)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return std::nullopt;
    std::array<quint32, 4> octets {};
    for (int i = 0; i < 4; ++i) {
        const QString &part = parts.at(i);
        if (part.isEmpty())
            return std::nullopt;
        quint32 value = 0;
        for (QChar c : part) {
            if (c < u'0' || c > u'9')
                return std::nullopt;
            value = value * 10 + quint32(c.unicode() - u'0');
            if (value > 255)
                return std::nullopt;
        }
        octets[i] = value;
    }
    return octets;
}

QString dottedFromAddress(quint32 networkOrder)
{
    const quint32 host = qFromBigEndian(networkOrder);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(host >> 24)
        .arg((host >> 16) & 0xFF)
        .arg((host >> 8) & 0xFF)
        .arg(host & 0xFF);
}

// The name as the resolver wants it: ASCII as it is, other names in their ACE form.
QByteArray resolverName(const QString &name)
{
    if (name.contains(QChar(u'\0')))
        return QByteArray();
    bool ascii = true;
    for (QChar c : name)
        ascii = ascii && c.unicode() < 0x80;
    return ascii ? name.toLatin1() : QUrl::toAce(name);
}

// The parts of the echo reply record that Ping reads.
struct EchoReply
{
    quint32 address = 0; // network byte order
    quint32 status = kStatusTimedOut;
    quint32 roundTripTime = 0;
    quint16 dataSize = 0;
    QByteArray data; // the echoed data area, zero-filled to its full capacity
};

quint16 icmpChecksum(const QByteArray &packet)
{
    quint32 sum = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(packet.constData());
    for (qsizetype i = 0; i + 1 < packet.size(); i += 2)
        sum += quint32(p[i] << 8 | p[i + 1]);
    if (packet.size() % 2)
        sum += quint32(p[packet.size() - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

QByteArray echoRequest(quint16 id, quint16 sequence, const QByteArray &payload)
{
    QByteArray packet(kIcmpHeaderSize, '\0');
    packet[0] = char(kIcmpEcho);
    qToBigEndian(id, packet.data() + 4);
    qToBigEndian(sequence, packet.data() + 6);
    packet.append(payload);
    qToBigEndian(icmpChecksum(packet), packet.data() + 2);
    return packet;
}

// The echoed data of a datagram when it is the reply to our request, else nothing. A raw
// socket delivers the IP header too, and every ICMP message of the host (our own request
// on loopback included); an echo socket delivers only replies the kernel matched to it.
std::optional<QByteArray> echoedData(const QByteArray &datagram, bool raw, quint16 id,
                                     quint16 sequence)
{
    qsizetype offset = 0;
    if (raw) {
        if (datagram.isEmpty())
            return std::nullopt;
        offset = (static_cast<unsigned char>(datagram.at(0)) & 0x0F) * 4;
    }
    if (datagram.size() < offset + kIcmpHeaderSize)
        return std::nullopt;
    const char *icmp = datagram.constData() + offset;
    if (quint8(icmp[0]) != kIcmpEchoReply || icmp[1] != 0)
        return std::nullopt;
    if (qFromBigEndian<quint16>(icmp + 6) != sequence)
        return std::nullopt;
    if (raw && qFromBigEndian<quint16>(icmp + 4) != id)
        return std::nullopt;
    return datagram.mid(offset + kIcmpHeaderSize);
}

// An echo socket where the system allows unprivileged ones (net.ipv4.ping_group_range),
// else a raw socket; -1 when the process may open neither.
int openIcmpSocket(bool &raw)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = fd < 0;
    if (raw)
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    return fd;
}

// Waits for the reply to one sent request until the deadline; other datagrams are skipped.
void awaitReply(int fd, bool raw, quint16 id, quint16 sequence, const QElapsedTimer &clock,
                EchoReply &reply)
{
    const QDeadlineTimer deadline(kEchoTimeoutMs, Qt::PreciseTimer);
    QByteArray datagram(64 * 1024, '\0');
    while (!deadline.hasExpired()) {
        pollfd pfd {fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return; // time-out, or a poll failure that waiting longer cannot mend
        sockaddr_in from {};
        socklen_t fromSize = sizeof from;
        const ssize_t got = ::recvfrom(fd, datagram.data(), size_t(datagram.size()), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            reply.status = kStatusGeneralFailure;
            return;
        }
        const auto data = echoedData(datagram.first(got), raw, id, sequence);
        if (!data)
            continue;
        reply.status = kStatusSuccess;
        reply.address = from.sin_addr.s_addr;
        reply.roundTripTime = quint32(clock.elapsed());
        reply.dataSize = quint16(qMin<qsizetype>(data->size(), kReplyDataCapacity));
        reply.data.replace(0, reply.dataSize, data->first(reply.dataSize));
        return;
    }
}

// One echo request to `destination` (network byte order); std::nullopt when no ICMP
// socket can be opened at all.
std::optional<EchoReply> sendEcho(quint32 destination, const QByteArray &payload)
{
    bool raw = false;
    const platform::UniqueFd socket(openIcmpSocket(raw));
    if (!socket.valid())
        return std::nullopt;

    EchoReply reply;
    reply.data = QByteArray(kReplyDataCapacity, '\0');
    // An echo socket replaces the identifier with its own; a raw socket keeps ours.
    const auto id = quint16(QRandomGenerator::global()->bounded(1, 0x10000));
    const auto sequence = quint16(QRandomGenerator::global()->bounded(1, 0x10000));
    const QByteArray packet = echoRequest(id, sequence, payload);

    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    QElapsedTimer clock;
    clock.start();
    if (::sendto(socket.get(), packet.constData(), size_t(packet.size()), 0,
                 reinterpret_cast<const sockaddr *>(&to), sizeof to)
        != ssize_t(packet.size())) {
        reply.status = kStatusGeneralFailure;
        return reply;
    }
    awaitReply(socket.get(), raw, id, sequence, clock, reply);
    return reply;
}

} // namespace

bool IsDottedQuad(const QString &text)
{
    const auto octets = parseOctets(text);
    return octets && (*octets)[0] <= 239;
}

quint32 DottedToAddress(const QString &text)
{
    const auto octets = parseOctets(text);
    if (!octets)
        return 0;
    const auto &o = *octets;
    return qToBigEndian((o[0] << 24) | (o[1] << 16) | (o[2] << 8) | o[3]);
}

QString GetIPHost()
{
    // One byte more than the buffer handed over, so the text is always terminated.
    std::array<char, 257> buffer {};
    if (::gethostname(buffer.data(), 256) != 0 || buffer[0] == '\0')
        return QString();
    return QString::fromLocal8Bit(buffer.data());
}

QString GetIPAddress(QString &hostName)
{
    if (hostName.isEmpty())
        hostName = GetIPHost();
    hostName = platform::trimBlanks(hostName);

    const QByteArray name = resolverName(hostName);
    if (name.isEmpty())
        return QString();
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return QString();
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, &::freeaddrinfo);
    for (const addrinfo *ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr && ai->ai_addrlen >= sizeof(sockaddr_in))
            return dottedFromAddress(
                reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr);
    }
    return QString();
}

bool Ping(QString &address, QString &roundTripTime, QString &dataSize, bool &dataMatch)
{
    const QString ip = IsDottedQuad(address) ? address : GetIPAddress(address);
    if (ip.isEmpty())
        return false;

    QByteArray payload(kPayloadSize, '\0');
    for (char &c : payload)
        c = char(QRandomGenerator::global()->bounded(1, 256));

    const quint32 destination = DottedToAddress(ip);
    const std::optional<EchoReply> reply = sendEcho(destination, payload);
    if (!reply)
        return false;

    roundTripTime = QString::number(reply->roundTripTime);
    address = dottedFromAddress(reply->address);
    dataSize = QString::number(reply->dataSize) + QStringLiteral(" bytes");
    const qsizetype nul = reply->data.indexOf('\0');
    if (nul > 0) {
        dataMatch = platform::fromAnsi(reply->data.first(nul))
                        .compare(platform::fromAnsi(payload), Qt::CaseInsensitive)
            == 0;
    }
    return reply->status == kStatusSuccess && reply->address == destination;
}

QString GetContentType(const QString &strFile, const QString &strDefault)
{
    const qsizetype dot = strFile.lastIndexOf(u'.');
    if (dot < 0)
        return strDefault;
    const QString extension = strFile.mid(dot);
    // A "." in a folder name leaves a path, not an extension; nothing is registered there.
    if (extension.contains(u'/') || extension.contains(u'\\') || extension.contains(QChar(u'\0')))
        return strDefault;

    const QMimeDatabase db;
    const QString probe = QStringLiteral("file") + extension;
    if (db.mimeTypesForFileName(probe).isEmpty())
        return strDefault;
    const QMimeType type = db.mimeTypeForFile(probe, QMimeDatabase::MatchExtension);
    return type.isValid() ? type.name() : strDefault;
}

} // namespace vessamo::mail
