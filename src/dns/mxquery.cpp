// The MX lookup: one query datagram to the first name server, one reply within the time
// limit, the best exchanger; a reply without answers sends the lookup to the parent
// domain while the base domain lies inside the current one. The socket lives for one
// exchange and is released on every way out.
#include "dns/mxquery.h"

#include "dns/dnsmessage.h"
#include "platform/wait.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace vessamo::dns {

namespace {

const QString kNoServers = QStringLiteral("No DNS entries found, MX Query cannot contine.");
const QString kNoDomain = QStringLiteral("No Valid Domain Specified");
const QString kSendFailed = QStringLiteral("Problem sending MX query");
const QString kReceiveFailed = QStringLiteral("Problem receiving MX query");

// A domain shorter than this is refused before anything is sent.
constexpr qsizetype kMinDomainLength = 5;

// A dotted address as it is, else the first address a host-name lookup gives (IPv4
// first); a null address when neither works.
QHostAddress ResolveServerAddress(const QString &server)
{
    QHostAddress address;
    if (address.setAddress(server))
        return address;
    const QList<QHostAddress> found = QHostInfo::fromName(server).addresses();
    for (const QHostAddress &candidate : found) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate;
    }
    return found.isEmpty() ? QHostAddress() : found.first();
}

struct Exchange
{
    enum class Outcome { Silent, SendFailed, ReceiveFailed, Replied };
    Outcome outcome = Outcome::Silent;
    MxReply reply;
};

// True when `datagram` is the reply to our query from the server we asked.
bool isOurReply(const QNetworkDatagram &datagram, const QHostAddress &server, quint16 port,
                MxReply &reply)
{
    if (!datagram.isValid() || datagram.senderPort() != port
        || !datagram.senderAddress().isEqual(server, QHostAddress::TolerantConversion))
        return false;
    const std::optional<MxReply> read = readMxReply(datagram.data());
    if (!read || read->identifier != kQueryIdentifier)
        return false;
    reply = *read;
    return true;
}

// One datagram out, one in. Stray datagrams (another sender, another identifier, too
// short for a header) are dropped and the wait goes on until the time limit.
Exchange exchangeOnce(const QByteArray &query, const QString &server, const MxQueryOptions &options)
{
    Exchange result;
    const QHostAddress address = ResolveServerAddress(server);
    if (address.isNull())
        return result;
    QUdpSocket socket;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (!socket.bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0))
        return result;
    if (socket.writeDatagram(query, address, options.port) != query.size()) {
        result.outcome = Exchange::Outcome::SendFailed;
        return result;
    }
    bool received = false;
    const auto replied = [&] {
        while (!received && socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram(kMaxReplySize);
            if (!datagram.isValid())
                break; // a failed read leaves the rest for the next wake-up
            received = isOurReply(datagram, address, options.port, result.reply);
        }
        return received;
    };
    const QDeadlineTimer deadline(options.timeLimit, Qt::PreciseTimer);
    result.outcome = platform::waitUntil(replied, deadline) ? Exchange::Outcome::Replied
                                                            : Exchange::Outcome::ReceiveFailed;
    return result;
}

// The parent of `domain` while the base domain lies inside it past its first
// character (exact comparison); empty when the walk ends.
QString parentDomain(const QString &domain, const QString &baseDomain)
{
    if (baseDomain.isEmpty() || domain.indexOf(baseDomain) < 1)
        return {};
    const qsizetype dot = domain.indexOf(u'.');
    return dot < 0 ? QString() : domain.mid(dot + 1);
}

} // namespace

DnsServers &processDnsServers()
{
    static DnsServers servers;
    return servers;
}

MxQueryResult QueryMx(const QString &domain, const MxQueryOptions &options)
{
    DnsServers &state = options.servers ? *options.servers : processDnsServers();
    if (state.serverCount() == 0)
        state = FindDnsServers(options.sources);
    if (state.serverCount() == 0)
        return {{}, kNoServers};

    QString current = domain.isEmpty() ? state.defaultDomain : domain;
    if (current.isEmpty())
        return {{}, kNoDomain};
    for (;;) {
        const QByteArray query = buildMxQuery(current);
        if (current.size() < kMinDomainLength || query.isEmpty())
            return {{}, kNoDomain};
        const Exchange exchange = exchangeOnce(query, state.servers.first(), options);
        switch (exchange.outcome) {
        case Exchange::Outcome::Silent:
            return {};
        case Exchange::Outcome::SendFailed:
            return {{}, kSendFailed};
        case Exchange::Outcome::ReceiveFailed:
            return {{}, kReceiveFailed};
        case Exchange::Outcome::Replied:
            break;
        }
        if (exchange.reply.answerCount > 0)
            return {exchange.reply.bestHost, {}};
        current = parentDomain(current, state.baseDomain);
        if (current.isEmpty())
            return {};
    }
}

QString MXQuery(const QString &IPDomain, const StatusReporter &status,
                const MxQueryOptions &options)
{
    const QString domain = IPDomain.trimmed();
    const auto report = [&status](const QString &text) {
        if (status)
            status(text);
    };
    report(domain.isEmpty() ? QStringLiteral("Performing MX Query")
                            : QStringLiteral("Performing MX Query, Domain: ") + domain);
    const MxQueryResult result = QueryMx(domain, options);
    if (!result.failure.isEmpty()) {
        report(result.failure);
        return {};
    }
    return result.host;
}

} // namespace vessamo::dns
