// Whether a routing run may contact its servers: some network interface other than
// loopback is up and running with an address, or every server the run talks to is on
// this machine or on a network of one of its interfaces anyway. A name counts by where it
// leads: it is resolved first ("mail.site.test" in /etc/hosts as 127.0.0.1 is local).
#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QStringList>
#include <functional>

namespace vessamo::routing {

// True when `host` is "localhost" or a loopback address.
bool isLoopbackHost(const QString &host);

// A name's addresses (getaddrinfo; a table in tests); none when it does not resolve.
using Resolver = std::function<QList<QHostAddress>(const QString &host)>;
QList<QHostAddress> resolveHost(const QString &host);

// What the decision looks at: whether an interface other than loopback is up and running
// with an address, the address entries (address and prefix) of the interfaces that are
// up, and how names are resolved.
struct NetworkState
{
    bool interfaceUp = false;
    QList<QNetworkAddressEntry> localNetworks;
    Resolver resolve = resolveHost;
};

// Why the servers cannot be reached, or empty when they can. Names are resolved only when
// no interface is up.
QString unreachableReason(const QStringList &servers, const NetworkState &network);

// The decision, with the state given (for tests).
inline bool isConnected(const QStringList &servers, const NetworkState &network)
{
    return unreachableReason(servers, network).isEmpty();
}

// The state of this machine now.
NetworkState machineNetworkState();

// The decision for this machine now; a "no" goes to the debug log with its reason.
bool machineConnected(const QStringList &servers);

// The status line of a run skipped for want of a network.
QString noNetworkStatus();

} // namespace vessamo::routing
