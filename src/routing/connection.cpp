#include "routing/connection.h"

#include <QLoggingCategory>
#include <QNetworkInterface>
#include <netdb.h>
#include <sys/socket.h>

namespace vessamo::routing {

namespace {

Q_LOGGING_CATEGORY(lcConnection, "vessamo.routing.connection", QtInfoMsg)

bool onLocalNetwork(const QHostAddress &address, const QList<QNetworkAddressEntry> &networks)
{
    if (address.isLoopback())
        return true;
    return std::any_of(networks.begin(), networks.end(), [&](const QNetworkAddressEntry &e) {
        return !e.ip().isNull() && e.prefixLength() >= 0
            && address.isInSubnet(e.ip(), e.prefixLength());
    });
}

} // namespace

bool isLoopbackHost(const QString &host)
{
    const QString name = host.trimmed();
    if (name.compare(u"localhost", Qt::CaseInsensitive) == 0
        || name.endsWith(u".localhost", Qt::CaseInsensitive))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

QList<QHostAddress> resolveHost(const QString &host)
{
    const QByteArray name = host.trimmed().toUtf8();
    if (name.isEmpty())
        return {};
    // No AI_ADDRCONFIG: with only loopback up it would hide the very addresses asked for.
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0)
        return {};
    QList<QHostAddress> addresses;
    for (const addrinfo *a = found; a; a = a->ai_next)
        addresses << QHostAddress(a->ai_addr);
    ::freeaddrinfo(found);
    return addresses;
}

QString unreachableReason(const QStringList &servers, const NetworkState &network)
{
    if (network.interfaceUp)
        return {};
    for (const QString &server : servers) {
        if (isLoopbackHost(server))
            continue;
        const QList<QHostAddress> addresses = network.resolve(server.trimmed());
        if (addresses.isEmpty())
            return QStringLiteral("no network interface is up and %1 does not resolve")
                .arg(server);
        const bool local = std::any_of(addresses.begin(), addresses.end(),
                                       [&](const QHostAddress &a) {
                                           return onLocalNetwork(a, network.localNetworks);
                                       });
        if (!local)
            return QStringLiteral("no network interface is up and %1 (%2) is neither on this "
                                  "machine nor on a local network")
                .arg(server, addresses.first().toString());
    }
    return {};
}

NetworkState machineNetworkState()
{
    NetworkState state;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp))
            continue;
        const auto entries = nic.addressEntries();
        state.localNetworks += entries;
        if (flags.testFlag(QNetworkInterface::IsRunning)
            && !flags.testFlag(QNetworkInterface::IsLoopBack) && !entries.isEmpty())
            state.interfaceUp = true;
    }
    return state;
}

bool machineConnected(const QStringList &servers)
{
    const QString reason = unreachableReason(servers, machineNetworkState());
    if (!reason.isEmpty())
        qCDebug(lcConnection).noquote() << "routing run skipped:" << reason;
    return reason.isEmpty();
}

QString noNetworkStatus()
{
    return QStringLiteral("No network: routing run skipped");
}

} // namespace vessamo::routing
