// Whether a routing run may contact its servers: some network interface other than
// loopback is up and running with an address, or every server the run talks to is on
// this machine anyway.
#pragma once

#include <QStringList>

namespace vessamo::routing {

// True when `host` is "localhost" or a loopback address.
bool isLoopbackHost(const QString &host);

// The decision, with the interface state given (for tests).
bool isConnected(const QStringList &servers, bool networkInterfaceUp);

// The decision for this machine now.
bool machineConnected(const QStringList &servers);

} // namespace vessamo::routing
